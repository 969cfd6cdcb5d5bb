// A console window over a hub, offscreen, in a real engine:
//   window_scope_switch_ms           switching the selection to a device with 2,000 entries until the
//                                    page shows them (median of 7)
//   window_main_thread_busy_percent  main-thread CPU while one page logs 10,000 messages/s (5 s)
//   window_resident_mb               memory of the program and its engine processes with the window
//                                    open on 2,000 entries
#include "ProcFiles.h"
#include "agent/MCPServer.h"
#include "console/ConsoleHub.h"
#include "ui/ConsoleActions.h"
#include "ui/ConsoleWindow.h"
#include "ui/TranscriptBridge.h"

#include "PageScript.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWebEnginePage>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

const QString kBusy = QStringLiteral("AAAAAAAA-0000-4000-8000-000000000001");
const QString kQuiet = QStringLiteral("AAAAAAAA-0000-4000-8000-000000000002");

// Runs the event loop until `ready`, looking every 2 ms; the loop sleeps in between, so the main
// thread's own time stays what the window costs.
void waitFor(const std::function<bool()>& ready) {
    QEventLoop loop;
    QElapsedTimer timer;
    timer.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (ready() || timer.elapsed() > 30000)
            loop.quit();
    });
    poll.start(2);
    if (!ready())
        loop.exec();
}

ConsoleEntry entry(const PageKey& page, int n) {
    static const ConsoleLevel levels[] = {ConsoleLevel::log,     ConsoleLevel::log, ConsoleLevel::info,
                                          ConsoleLevel::warning, ConsoleLevel::log, ConsoleLevel::error};
    return {.page = page,
            .level = levels[n % 6],
            .text =
                QStringLiteral("[cart] request %1 finished with status 200 after %2 ms").arg(n).arg(n % 900),
            .url = QStringLiteral("https://shop.example.com/js/app.js"),
            .line = n % 400,
            .receivedAt = QDateTime::currentDateTime()};
}

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Resident kilobytes of a process and every process under it (the engine's helpers).
qint64 residentKb(qint64 pid) {
    qint64 total = statusKb(QString::number(pid), "VmRSS:");
    for (const QString& name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
        if (name.front().isDigit() && statFields(name).value(1).toLongLong() == pid)
            total += residentKb(name.toLongLong());
    return total;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);

    ConsoleHub hub(ConsoleHub::Discovery{});
    ConsoleActions actions(&hub);
    MCPServer server;
    const PageKey busy{kBusy, QStringLiteral("PID:1"), 1}, quiet{kQuiet, QStringLiteral("PID:2"), 1};
    for (int i = 0; i < 2000; ++i)
        hub.append(entry(busy, i));
    for (int i = 0; i < 10; ++i)
        hub.append(entry(quiet, i));

    ConsoleWindow window(&hub, &actions, &server, kQuiet);
    window.resize(1100, 700);
    window.show();
    QWebEnginePage* page = window.transcript()->page();
    const auto rows = [&] {
        return runInPage(page, QStringLiteral("document.querySelectorAll('#log .row').length")).toInt();
    };
    waitFor([&] { return rows() == 10; });

    std::vector<double> switches;
    for (int i = 0; i < 7; ++i) {
        QElapsedTimer timer;
        timer.start();
        window.setScope(ConsoleScope::device(kBusy));
        waitFor([&] { return rows() >= 2000; });
        switches.push_back(double(timer.nsecsElapsed()) / 1e6);
        window.setScope(ConsoleScope::device(kQuiet));
        waitFor([&] { return rows() == 10; });
    }
    std::sort(switches.begin(), switches.end());
    std::printf("window_scope_switch_ms: %.1f ms\n", switches[switches.size() / 2]);

    window.setScope(ConsoleScope::device(kBusy));
    waitFor([&] { return rows() >= 2000; });
    QCoreApplication::processEvents();
    std::printf("window_resident_mb: %.0f MB\n", double(residentKb(::getpid())) / 1024.0);

    // 10,000 messages a second, delivered as the connection delivers them: a batch every 10 ms.
    int next = 2000;
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        for (int i = 0; i < 100; ++i)
            hub.append(entry(busy, next++));
    });
    feed.start(10);

    const double cpuStart = threadSeconds();
    QElapsedTimer wall;
    wall.start();
    waitFor([&] { return wall.elapsed() >= 5000; });
    const double busyPercent = (threadSeconds() - cpuStart) / (double(wall.nsecsElapsed()) / 1e9) * 100.0;
    feed.stop();
    std::printf("window_main_thread_busy_percent: %.1f %%\n", busyPercent);
    std::fflush(stdout);
    return 0;
}
