// The agent endpoint: sequential ping POSTs from a local client, one connection each, and the
// server-side time of a read_console that returns 1000 lines.
#include "LoopbackPost.h"
#include "agent/MCPDispatcher.h"
#include "agent/MCPServer.h"
#include "console/ConsoleHub.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// One request on a fresh connection; true when a 200 came back.
bool post(quint16 port, const QByteArray& body) {
    return postToEndpoint(port, body).startsWith("HTTP/1.1 200");
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir preferences;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, preferences.path());
    QCoreApplication app(argc, argv);

    // One device without a link, so that read_console reads its pages.
    ConsoleHub::Discovery discovery;
    discovery.simulators = [](const QList<InspectableDevice>&) {
        return QList<InspectableDevice>{InspectableDevice{QStringLiteral("BENCH"), QStringLiteral("Bench"),
                                                          QStringLiteral("iOS 17.5"),
                                                          InspectableDevice::Kind::simulator, std::nullopt}};
    };
    ConsoleHub hub(discovery);
    hub.rescanDevices();
    while (hub.devices().isEmpty())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    MCPDispatcher dispatcher(&hub);
    MCPServer server;
    server.setMessageHandler(
        [&](const QJsonObject& message, MCPServer::Reply reply) { dispatcher.handle(message, reply); });
    server.overridePort(49877);
    server.start();
    if (!server.isRunning()) {
        std::fprintf(stderr, "bench_mcp: cannot listen\n");
        return 1;
    }

    const int total = 5000;
    int ok = 0;
    double seconds = 0;
    std::thread client([&] {
        const QByteArray ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
        const auto start = Clock::now();
        for (int i = 0; i < total; ++i)
            ok += post(server.port(), ping) ? 1 : 0;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    client.join();
    if (ok != total) {
        std::fprintf(stderr, "bench_mcp: %d of %d pings answered\n", ok, total);
        return 1;
    }
    std::printf("mcp_ping_requests_per_second: %.0f requests/s\n", total / seconds);

    // read_console over a page holding 2000 entries, 1000 lines asked for.
    const PageKey page{QStringLiteral("BENCH"), QStringLiteral("PID:1"), 1};
    for (int i = 0; i < 2000; ++i) {
        ConsoleEntry entry;
        entry.page = page;
        entry.source = QStringLiteral("console-api");
        entry.text = QStringLiteral("cart updated with item %1 of the catalogue").arg(i);
        entry.url = QStringLiteral("https://shop.example.com/static/js/app.js");
        entry.line = 120 + i % 50;
        entry.receivedAt = QDateTime::currentDateTimeUtc();
        hub.append(std::move(entry));
    }
    const QJsonObject read{
        {"jsonrpc", "2.0"},
        {"id", 2},
        {"method", "tools/call"},
        {"params", QJsonObject{{"name", "read_console"}, {"arguments", QJsonObject{{"limit", 1000}}}}}};
    const int rounds = 50;
    qsizetype size = 0;
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        // What the server does with the message: dispatch, then serialise the response.
        dispatcher.handle(read, [&](std::optional<QJsonObject> response) {
            size += QJsonDocument(*response).toJson(QJsonDocument::Compact).size();
        });
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
    std::printf("mcp_read_console_1000_ms: %.2f ms (%lld bytes)\n", ms,
                static_cast<long long>(size / rounds));
    return 0;
}
