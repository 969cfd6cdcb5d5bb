#pragma once

#include "agent/ConsoleFilter.h"
#include "inspector/PageKey.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QStringList>

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
// Every text answer stays within this many characters, about what an agent's context takes in one go.
constexpr qsizetype kAnswerLimit = 100'000;
// How long wait_for_console waits unless told, and at most.
constexpr std::chrono::seconds kDefaultWait{10};
constexpr std::chrono::seconds kLongestWait{60};
// Screenshots are shrunk to at most this many pixels on their longer side.
constexpr int kScreenshotMaxEdge = 1200;

// The tool table, in the order agents see it.
const QJsonArray& schema();

// The page an agent means: an absent or empty name picks the page with the most stored messages;
// otherwise an exact display title, then a case-insensitive match in title, URL or application.
std::optional<PageKey> page(const std::optional<QString>& name, const ConsoleHub& hub);

QString listing(const ConsoleHub& hub);
// The newest `limit` entries the filter keeps, one line each. With `since`, only those stored after
// that sequence number, and a last line "next since: N" with the cursor for the next read.
QString read(const ConsoleHub& hub, const std::optional<PageKey>& page, qint64 limit,
             const ConsoleFilter& filter, std::optional<qint64> since = std::nullopt);
// One entry as read_console shows it.
QString line(const ConsoleEntry& entry);
// The items joined by newlines, then `tail`, within kAnswerLimit: past it the oldest items are left
// out behind a note saying how many, and a single item still too long is cut short.
QString fit(QStringList items, bool messages, const QString& tail = {});
// Any answer within kAnswerLimit, by lines.
QString bounded(const QString& text);
// Runs the expression; exactly one reply, the result or a time-out after `limit`. With
// `awaitPromise` a promise is waited for, within the same limit.
void evaluate(ConsoleHub& hub, const PageKey& page, const QString& expression, Reply reply,
              std::chrono::milliseconds limit = kEvaluationLimit, bool awaitPromise = false);
// The image scaled down to at most `maxEdge` pixels on its longer side, orientation applied, as
// PNG; nothing when it cannot be decoded (within the image reader's allocation limit) or encoded.
std::optional<QByteArray> shrink(const QByteArray& image, int maxEdge);

} // namespace Tools
