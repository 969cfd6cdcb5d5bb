#pragma once

#include "inspector/PageKey.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class ConsoleHub;

// The agent's tools over the console hub: their table, the choice of a page by name, and the texts
// they answer with. Everything runs on the main thread.
namespace Tools {

using Reply = std::function<void(QString text, bool isError)>;

// How long an evaluation may take before the agent is told it timed out.
constexpr std::chrono::milliseconds kEvaluationLimit{8000};
// How long a screenshot may take: a capture is three requests, and a tall page renders slowly.
constexpr std::chrono::milliseconds kScreenshotLimit{15000};
// Screenshots are shrunk to at most this many pixels on their longer side.
constexpr int kScreenshotMaxEdge = 1200;

// The tool table, in the order agents see it.
const QJsonArray& schema();

// The page an agent means: an absent or empty name picks the page with the most stored messages;
// otherwise an exact display title, then a case-insensitive match in title, URL or application.
std::optional<PageKey> page(const std::optional<QString>& name, const ConsoleHub& hub);

QString listing(const ConsoleHub& hub);
QString read(const ConsoleHub& hub, const std::optional<PageKey>& page, qint64 limit,
             const std::optional<QString>& level);
// Runs the expression; exactly one reply, the result or a time-out after `limit`.
void evaluate(ConsoleHub& hub, const PageKey& page, const QString& expression, Reply reply,
              std::chrono::milliseconds limit = kEvaluationLimit);
// The image scaled down to at most `maxEdge` pixels on its longer side, orientation applied, as
// PNG; nothing when it cannot be decoded (within the image reader's allocation limit) or encoded.
std::optional<QByteArray> shrink(const QByteArray& image, int maxEdge);

} // namespace Tools
