// The agent's JSON-RPC messages, decoded as the endpoint decodes a request body, over a hub that
// holds a page with a few entries.
#include "agent/MCPDispatcher.h"
#include "console/ConsoleHub.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QLoggingCategory>

namespace {
ConsoleHub* hub = nullptr;
MCPDispatcher* dispatcher = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    new QCoreApplication(*argc, *argv);
    hub = new ConsoleHub(ConsoleHub::Discovery{});
    const PageKey page{QStringLiteral("SIM"), QStringLiteral("PID:1"), 1};
    for (const char* text : {"first", "second\nline", "third"}) {
        ConsoleEntry entry;
        entry.page = page;
        entry.text = QString::fromUtf8(text);
        hub->append(entry);
    }
    dispatcher = new MCPDispatcher(hub);
    dispatcher->setEvaluationLimit(std::chrono::milliseconds(0));
    dispatcher->setScreenshotLimit(std::chrono::milliseconds(0));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!document.isObject())
        return 0;
    dispatcher->handle(document.object(), [](std::optional<QJsonObject> response) {
        if (response)
            (void)QJsonDocument(*response).toJson(QJsonDocument::Compact);
    });
    QCoreApplication::processEvents(); // replies that wait for a timer
    return 0;
}
