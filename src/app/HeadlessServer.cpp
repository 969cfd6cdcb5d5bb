#include "app/HeadlessServer.h"

#include "agent/MCPDispatcher.h"
#include "agent/MCPServer.h"
#include "base/Logging.h"
#include "broadcast/CountBroadcast.h"
#include "console/ConsoleHub.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace HeadlessServer {

namespace {

// The desktop shell brings the counts up to date this often; --serve does the same.
constexpr std::chrono::milliseconds kRefreshInterval{400};

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    (void)!::write(signalPipe[1], &byte, 1);
}

} // namespace

std::optional<Options> parse(const QStringList& arguments, QString* error) {
    Options options;
    const qsizetype at = arguments.indexOf(QStringLiteral("--port"));
    if (at >= 0) {
        bool ok = false;
        const uint port = at + 1 < arguments.size() ? arguments[at + 1].toUInt(&ok) : 0;
        if (!ok || port < 1 || port > 65535) {
            *error = QStringLiteral("--port needs a port number from 1 to 65535");
            return std::nullopt;
        }
        options.port = quint16(port);
    }
    return options;
}

int run(const Options& options) {
    ConsoleHub hub;
    MCPDispatcher dispatcher(&hub);
    MCPServer& server = MCPServer::shared();
    server.setMessageHandler([&dispatcher](const QJsonObject& message, MCPServer::Reply reply) {
        dispatcher.handle(message, std::move(reply));
    });
    if (options.port)
        server.overridePort(*options.port);
    // Always on here, whatever the stored switch says, and without storing anything.
    server.start();
    if (!server.isRunning()) {
        std::fprintf(stderr, "tavolin: cannot listen on 127.0.0.1:%u: %s\n", unsigned(server.port()),
                     qPrintable(server.lastError().value_or(QStringLiteral("unknown error"))));
        return 1;
    }

    // SIGINT and SIGTERM end the event loop from a pipe, outside the signal handler.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
    } else {
        qCWarning(lcApp) << "cannot watch for SIGINT and SIGTERM:" << std::strerror(errno);
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });

    // Other processes of the user hear of the unseen counts; refreshed as the desktop shell does.
    CountBroadcast broadcast;
    broadcast.listen(&hub);
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, [&] { broadcast.publish(hub); });
    refresh.start(kRefreshInterval);

    hub.start();
    qCDebug(lcApp) << "serving" << server.endpoint();
    std::printf("%s\n", qPrintable(server.endpoint()));
    std::fflush(stdout);
    const int status = QCoreApplication::exec();
    server.stop();
    return status;
}

} // namespace HeadlessServer
