#include "Version.h"
#include "app/DesktopSession.h"
#include "app/Diagnostics.h"
#include "app/DisplayAccess.h"
#include "app/HeadlessServer.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

void printUsage(std::FILE* out) {
    std::fprintf(out, "Usage: tavolin [--dump [seconds] | --serve [--port N]] [--help] [--version]\n"
                      "\n"
                      "Tavolin collects the JavaScript console output of the webviews on booted iOS\n"
                      "Simulators and USB-attached iOS devices. Without arguments it opens the console\n"
                      "window.\n"
                      "\n"
                      "  --dump [seconds]  collect for a few seconds (default 5) without a window, then\n"
                      "                    print every device, application, page and the newest messages\n"
                      "  --serve           run without a window and serve the agent endpoint (MCP over\n"
                      "                    HTTP on 127.0.0.1, port 49876 or the stored one) until\n"
                      "                    interrupted; prints the endpoint's address\n"
                      "  --port N          with --serve: listen on port N instead\n"
                      "  --help            show this text\n"
                      "  --version         print the version\n");
}

} // namespace

int main(int argc, char** argv) {
    // Libraries we call write to sockets whose peer may have gone; a write must fail, not kill us.
    std::signal(SIGPIPE, SIG_IGN);

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    if (arguments.contains(QStringLiteral("--dump"))) {
        QCoreApplication app(argc, argv);
        return Diagnostics::dump(Diagnostics::seconds(arguments));
    }
    if (arguments.contains(QStringLiteral("--serve"))) {
        QString error;
        const std::optional<HeadlessServer::Options> options = HeadlessServer::parse(arguments, &error);
        if (!options) {
            std::fprintf(stderr, "tavolin: %s\n", qPrintable(error));
            return 2;
        }
        QCoreApplication app(argc, argv);
        return HeadlessServer::run(*options);
    }
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        printUsage(stdout);
        return 0;
    }
    if (arguments.contains(QStringLiteral("--version"))) {
        std::printf("tavolin %s\n", TAVOLIN_VERSION);
        return 0;
    }
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        // The toolkit's own options (-platform, -style, ...) pass; anything else is a mistake.
        if (!arguments[i].startsWith(QLatin1Char('-')) || arguments[i].startsWith(QLatin1String("--"))) {
            std::fprintf(stderr, "tavolin: unknown argument '%s'\n\n", qPrintable(arguments[i]));
            printUsage(stderr);
            return 2;
        }
    }
    if (!DisplayAccess::canShowWindows(arguments)) {
        std::fprintf(stderr, "tavolin: no display to open a window on; try --dump or --serve\n");
        return 1;
    }
    // The web engine's renderer sandbox refuses to run as root; everyone else keeps it.
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The engine reports its start-up settings at info level on every launch; not ours to print.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavolin"));
    QApplication::setDesktopFileName(QStringLiteral("tavolin"));
    DesktopSession session;
    session.start();
    return QApplication::exec();
}
