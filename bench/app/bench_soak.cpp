// The soak: `tavolin --serve` against a fake simulator whose 20 pages each log 1,000 numbered
// messages a second, for 10 minutes (`--seconds N` for a shorter run). Throughout, an agent reads
// one page's newest 1,000 messages over HTTP every 50 ms, the pages in turn.
//   soak_messages_lost        numbers missing in any read, plus those sent after the last one stored
//   soak_rss_growth_mb        the program's largest resident size after the first minute (or
//                             quarter of a shorter run), less its size then
//   soak_read_console_p99_ms  read_console round trips, 99th percentile
// The simulator is this program too: the sandbox starts it under the name launchd_sim.
#include "LoopbackPost.h"
#include "ProcFiles.h"
#include "support/FakeSimulator.h"
#include "support/SimulatorSandbox.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPages = 20;
constexpr int kPerSecond = 1000;

// The text of a tool call's answer over a fresh connection; empty when none came.
QString callTool(quint16 port, int id, const QJsonObject& params) {
    const QByteArray body =
        QJsonDocument(
            QJsonObject{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", params}})
            .toJson(QJsonDocument::Compact);
    const QByteArray response = postToEndpoint(port, body);
    const QJsonObject answer =
        QJsonDocument::fromJson(response.mid(response.indexOf("\r\n\r\n") + 4)).object();
    return answer["result"]["content"][0]["text"].toString();
}

// Reads a page's newest messages, "LOG: <page> <n>" each; counts the numbers missing between them.
struct Reader {
    std::map<int, qint64> last; // by page: the highest number seen
    qint64 missing = 0;

    void read(int page, const QString& text) {
        qint64 previous = -1;
        for (const QString& line : text.split(QLatin1Char('\n'))) {
            const QStringList words = line.split(QLatin1Char(' '));
            if (words.size() != 3 || words[1].toInt() != page)
                continue;
            const qint64 n = words[2].toLongLong();
            if (previous >= 0 && n > previous + 1)
                missing += n - previous - 1;
            previous = n;
            last[page] = std::max(last[page], n);
        }
    }
};

// As launchd_sim: serves the pages; once each has a session, logs "<page> <n>" (n from 0) into them at
// the steady rate for SOAK_SECONDS, then writes "<page> <messages that reached a session>" lines to
// SOAK_REPORT and serves on until killed.
int simulate(const char* socket) {
    FakeSimulator simulator(QString::fromLocal8Bit(socket));
    const QString app = QStringLiteral("PID:1");
    simulator.addApp({app, QStringLiteral("Soak"), std::nullopt, std::nullopt});
    for (int page = 1; page <= kPages; ++page)
        simulator.addPage(app, FakeSimulator::page(page, QStringLiteral("Page %1").arg(page),
                                                   QStringLiteral("https://soak.example/%1").arg(page)));
    if (!simulator.start())
        return 1;
    std::puts("serving");
    std::fflush(stdout);
    const auto open = [&](int page) { return !simulator.sessions(app, page).empty(); };
    for (int page = 1; page <= kPages; ++page)
        while (!open(page))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now(),
               end = start + std::chrono::seconds(qEnvironmentVariableIntValue("SOAK_SECONDS"));
    std::vector<qint64> next(kPages + 1, 0), sent(kPages + 1, 0);
    for (auto now = start; now < end; now = Clock::now()) {
        const qint64 due = qint64(std::chrono::duration<double>(now - start).count() * kPerSecond);
        for (int page = 1; page <= kPages; ++page)
            for (; next[page] < due; ++next[page]) {
                const QJsonObject message{{"source", "console-api"},
                                          {"level", "log"},
                                          {"text", QStringLiteral("%1 %2").arg(page).arg(next[page])}};
                sent[page] += simulator.sendConsole(app, page, message) > 0 ? 1 : 0;
            }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    QFile report(qEnvironmentVariable("SOAK_REPORT"));
    if (report.open(QIODevice::WriteOnly))
        for (int page = 1; page <= kPages; ++page)
            report.write(QByteArray::number(page) + ' ' + QByteArray::number(sent[page]) + '\n');
    report.close();
    for (;;)
        ::pause();
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && QByteArray(argv[0]).endsWith("launchd_sim"))
        return simulate(argv[1]);
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    const QStringList arguments = app.arguments();
    const qsizetype flag = arguments.indexOf(QStringLiteral("--seconds"));
    const int seconds = flag >= 0 && flag + 1 < arguments.size() ? arguments[flag + 1].toInt() : 600;
    SimulatorSandbox sandbox;
    const QString report = sandbox.path(QStringLiteral("sent"));
    qputenv("FAKE_LAUNCHD_SIM", QCoreApplication::applicationFilePath().toLocal8Bit());
    qputenv("SOAK_SECONDS", QByteArray::number(seconds));
    qputenv("SOAK_REPORT", report.toLocal8Bit());
    if (!SimulatorSandbox::available() ||
        sandbox.addSimulator("5A0C0000-0000-4000-8000-000000000001", "Soak", {}).isEmpty() ||
        !sandbox.writeXcrun()) {
        std::fprintf(stderr, "bench_soak: the fake simulator did not start (lsof needed)\n");
        return 1;
    }
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QProcess server;
    server.setProcessEnvironment(sandbox.environment());
    server.start(QStringLiteral(TAVOLIN_BIN), {"--serve", "--port", QString::number(port)});
    if (!server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "bench_soak: tavolin --serve did not start\n");
        return 1;
    }

    Reader reader;
    std::vector<double> latencies;
    double baseline = 0, peak = 0;
    std::optional<Clock::time_point> logging; // since the first message was read
    const auto settle = std::chrono::seconds(std::min(60, seconds / 4));
    const auto giveUp = Clock::now() + std::chrono::seconds(seconds + 120);
    for (int turn = 0; !QFile::exists(report) && Clock::now() < giveUp; ++turn) {
        const int page = turn % kPages + 1;
        const QJsonObject call{
            {"name", "read_console"},
            {"arguments", QJsonObject{{"webview", QStringLiteral("Page %1").arg(page)}, {"limit", 1000}}}};
        const auto start = Clock::now();
        const QString text = callTool(port, turn, call);
        const auto end = Clock::now();
        if (!logging && text.startsWith(QLatin1String("LOG")))
            logging = end;
        if (logging) {
            latencies.push_back(std::chrono::duration<double, std::milli>(end - start).count());
            reader.read(page, text);
            const double resident = statusMb(QString::number(server.processId()), "VmRSS:");
            if (baseline == 0 && end - *logging >= settle)
                baseline = resident;
            if (baseline > 0)
                peak = std::max(peak, resident);
        }
        QThread::msleep(uint(std::max<qint64>(0, 50 - (end - start) / std::chrono::milliseconds(1))));
    }
    QThread::sleep(2); // what is still on its way
    for (int page = 1; page <= kPages; ++page)
        reader.read(page,
                    callTool(port, 0,
                             {{"name", "read_console"},
                              {"arguments", QJsonObject{{"webview", QStringLiteral("Page %1").arg(page)},
                                                        {"limit", 1000}}}}));
    qint64 lost = reader.missing, total = 0;
    QFile sent(report);
    if (!sent.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_soak: the simulator did not report what it sent\n");
        return 1;
    }
    for (const QByteArray& line : sent.readAll().split('\n'))
        if (const QList<QByteArray> words = line.split(' ');
            words.size() == 2 && (total += words[1].toLongLong()))
            lost += words[1].toLongLong() -
                    (reader.last.count(words[0].toInt()) ? reader.last[words[0].toInt()] + 1 : 0);
    ::kill(pid_t(server.processId()), SIGTERM);
    server.waitForFinished(10000);

    std::sort(latencies.begin(), latencies.end());
    const double p99 = latencies.empty() ? 0 : latencies[size_t(double(latencies.size() - 1) * 0.99)];
    std::printf("soak_seconds: %d s (%d pages x %d messages/s)\n", seconds, kPages, kPerSecond);
    std::printf("soak_messages_lost: %lld messages (of %lld sent)\n", static_cast<long long>(lost),
                static_cast<long long>(total));
    std::printf("soak_rss_growth_mb: %.1f MB (from %.1f MB)\n", peak - baseline, baseline);
    std::printf("soak_read_console_p99_ms: %.1f ms (%zu reads)\n", p99, latencies.size());
    return 0;
}
