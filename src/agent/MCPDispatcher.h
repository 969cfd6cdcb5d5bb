#pragma once

#include "agent/ConsoleWaits.h"
#include "agent/Tools.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class ConsoleHub;

// The JSON-RPC side of the agent endpoint: the few protocol methods agents need (initialize, ping,
// tools/list, tools/call) and the tools over the console hub. Keeps no per-client state; the only
// pending work is per call (an evaluation, a capture, a wait), and waits end with the dispatcher.
// Main thread only.
class MCPDispatcher {
public:
    // Called exactly once: a response object, or nothing for a notification.
    using Reply = std::function<void(std::optional<QJsonObject> response)>;

    static constexpr const char* kProtocolVersion = "2025-06-18";
    static constexpr int kUnknownMethod = -32601;

    explicit MCPDispatcher(ConsoleHub* hub = nullptr) : m_hub(hub) {}
    ~MCPDispatcher();

    void setHub(ConsoleHub* hub) { m_hub = hub; }
    void setEvaluationLimit(std::chrono::milliseconds limit) { m_evaluationLimit = limit; }
    void setScreenshotLimit(std::chrono::milliseconds limit) { m_screenshotLimit = limit; }

    void handle(const QJsonObject& message, Reply reply);
    // Runs one tool; replies with the text or image result object (the "result" of tools/call).
    void call(const QString& name, const QJsonObject& arguments,
              std::function<void(QJsonObject result)> reply);

    static QJsonObject textResult(const QString& text, bool isError);
    static QJsonObject imageResult(const QByteArray& png);

private:
    QPointer<ConsoleHub> m_hub;
    std::chrono::milliseconds m_evaluationLimit = Tools::kEvaluationLimit;
    std::chrono::milliseconds m_screenshotLimit = Tools::kScreenshotLimit;
    std::unique_ptr<ConsoleWaits> m_waits = std::make_unique<ConsoleWaits>();
};
