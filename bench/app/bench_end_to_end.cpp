// End to end: console messages from a simulator's page into the store of the built program, beside
// an independent client reading the same page in the same minutes.
//
// A fake simulator (fake_launchd_sim, found by the program through xcrun, ps and lsof as real ones
// are) serves one page that logs a 1 KB console message, wrapped for the page's target, over and
// over: every session that enables the page's console is fed by a thread of its own, as fast as
// its client reads. Two clients read it at the same time:
// - `tavolin --serve`, which formats and keeps every message in its store;
// - console_client, a process of its own written the usual way with none of the program's code:
//   libplist for every frame, Qt's JSON for the wrapper and the message inside it, the newest
//   2,000 messages kept (see console_client.cpp).
// The program connects first (a page is held by the first client that opens a session on it, and
// the program leaves pages held elsewhere alone). Counts are read at the start and the end of timed
// windows (BENCH_SECONDS, default 5, each after a second of warm-up): the program's from
// read_console's cursor over HTTP ("next since: N", the sequence number of the newest stored entry;
// the store keeps only the newest 2,000 of a page, the number goes on), the client's by asking it.
//   end_to_end_alone_messages_per_second     entries the program stored per second, before the
//                                            client connects
//   end_to_end_messages_per_second           the same, in a window while the client reads too
//   independent_client_messages_per_second   messages the client kept per second in that window
//   end_to_end_ratio                         the second over the third
//   end_to_end_cpu_us                        the program's CPU time per stored message, that window
//   independent_client_cpu_us                the client's CPU time per kept message, that window
// In the shared window the two share the machine's cores with each other and with the fake's two
// feeding threads. TAVOLIN_BIN runs another build of the program against the same fake.
#include "LoopbackPost.h"
#include "ProcFiles.h"
#include "support/SimulatorSandbox.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The message the page logs, about 1 KB as the page sends it (the link benchmark's).
QJsonObject loggedMessage() {
    return QJsonDocument::fromJson(
               R"({"source":"console-api","level":"log","text":"cart updated","type":"log","line":214,)"
               R"("column":22,"url":"https://shop.example.com/static/js/app.3f9c2.js","repeatCount":1,)"
               R"("parameters":[{"type":"string","value":"cart updated %s"},{"type":"string","value":"{index}"},)"
               R"({"type":"object","objectId":"{\"injectedScriptId\":3,\"id\":41}","className":"Object",)"
               R"("description":"Object","preview":{"type":"object","description":"Object","lossless":false,)"
               R"("overflow":false,"properties":[{"name":"items","type":"number","value":"3"},)"
               R"({"name":"total","type":"number","value":"59.97"},{"name":"currency","type":"string","value":"EUR"}]}}],)"
               R"("stackTrace":{"callFrames":[{"functionName":"updateCart","url":"https://shop.example.com/static/js/app.3f9c2.js",)"
               R"("scriptId":"7","lineNumber":214,"columnNumber":22},{"functionName":"","url":"https://shop.example.com/)"
               R"(static/js/app.3f9c2.js","scriptId":"7","lineNumber":90,"columnNumber":5}]}})")
        .object();
}

// The sequence number of the newest entry the program stored, from read_console's cursor.
std::optional<qint64> storedCount(quint16 port) {
    const QByteArray response =
        postToEndpoint(port, R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)"
                             R"({"name":"read_console","arguments":{"since":0,"limit":1}}})");
    static const QRegularExpression cursor(QStringLiteral("next since: (\\d+)"));
    const QRegularExpressionMatch match = cursor.match(QString::fromUtf8(response));
    return match.hasMatch() ? std::optional(match.captured(1).toLongLong()) : std::nullopt;
}

// What the client answers: messages kept, CPU seconds used.
struct Sample {
    qint64 count = 0;
    double cpuSeconds = 0;
};

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (qEnvironmentVariableIsEmpty("FAKE_LAUNCHD_SIM"))
        qputenv("FAKE_LAUNCHD_SIM", FAKE_LAUNCHD_SIM);
    QCoreApplication app(argc, argv);
    if (!SimulatorSandbox::available()) {
        std::fprintf(stderr, "bench_end_to_end: needs lsof and fake_launchd_sim\n");
        return 1;
    }
    const int windowSeconds =
        qEnvironmentVariableIntValue("BENCH_SECONDS") > 0 ? qEnvironmentVariableIntValue("BENCH_SECONDS") : 5;

    SimulatorSandbox sandbox;
    const QJsonObject page{{"id", 1},
                           {"title", "Shop"},
                           {"url", "https://shop.example.com/"},
                           {"targets", "atOnce"},
                           {"flood", loggedMessage()}};
    const QJsonObject scenario{
        {"apps",
         QJsonArray{QJsonObject{{"id", "PID:4711"}, {"name", "Safari"}, {"pages", QJsonArray{page}}}}}};
    const QString socketPath = sandbox.addSimulator(QStringLiteral("BBBBBBBB-0000-4000-8000-000000000001"),
                                                    QStringLiteral("iPhone 15"), scenario);
    if (socketPath.isEmpty() || !sandbox.writeXcrun()) {
        std::fprintf(stderr, "bench_end_to_end: the fake simulator did not start\n");
        return 1;
    }

    QTcpServer probe; // a port nobody uses
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QProcess program;
    program.setProcessEnvironment(sandbox.environment());
    // BENCH_VERBOSE shows what the program logs.
    if (!qEnvironmentVariableIsSet("BENCH_VERBOSE"))
        program.setStandardErrorFile(QProcess::nullDevice());
    else
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(qEnvironmentVariable("TAVOLIN_BIN", QStringLiteral(TAVOLIN_BIN)),
                  {"--serve", "--port", QString::number(port)});
    if (!program.waitForReadyRead(10000)) {
        std::fprintf(stderr, "bench_end_to_end: tavolin --serve did not start\n");
        return 1;
    }

    // The program first: a page is held by the first client that opens a session on it, and the
    // program leaves pages that are held elsewhere alone.
    const auto giveUp = Clock::now() + std::chrono::seconds(60);
    while (storedCount(port).value_or(0) == 0) {
        if (Clock::now() > giveUp) {
            std::fprintf(stderr, "bench_end_to_end: the program stored no messages in 60 s\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // A second of warm-up, then the program alone for a window.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::optional<qint64> aloneBefore = storedCount(port);
    const Clock::time_point aloneStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(windowSeconds));
    const std::optional<qint64> aloneAfter = storedCount(port);
    const double aloneSeconds = secondsBetween(aloneStart, Clock::now());

    // The independent client, a process of its own on the same page.
    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(QStringLiteral(CONSOLE_CLIENT),
                 {socketPath, QStringLiteral("PID:4711"), QStringLiteral("1")});
    if (!client.waitForStarted(10000)) {
        std::fprintf(stderr, "bench_end_to_end: the console client did not start\n");
        return 1;
    }
    const auto received = [&client]() -> std::optional<Sample> {
        client.write("\n");
        while (!client.canReadLine())
            if (!client.waitForReadyRead(10000))
                return std::nullopt;
        const QList<QByteArray> fields = client.readLine().trimmed().split(' ');
        bool counted = false, timed = false;
        const Sample sample{fields.value(0).toLongLong(&counted), fields.value(1).toDouble(&timed)};
        return counted && timed ? std::optional(sample) : std::nullopt;
    };
    while (received().value_or(Sample{}).count == 0) {
        if (client.state() != QProcess::Running || Clock::now() > giveUp + std::chrono::seconds(10)) {
            std::fprintf(stderr, "bench_end_to_end: the client received nothing\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Then a second of warm-up.
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const double programCpuBefore = cpuSeconds(QString::number(program.processId()));
    const std::optional<qint64> storedBefore = storedCount(port);
    const std::optional<Sample> receivedBefore = received();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(windowSeconds));
    const std::optional<qint64> storedAfter = storedCount(port);
    const std::optional<Sample> receivedAfter = received();
    const double programCpuAfter = cpuSeconds(QString::number(program.processId()));
    const Clock::time_point end = Clock::now();
    client.closeWriteChannel();
    client.waitForFinished(10000);
    program.terminate();
    program.waitForFinished(10000);
    if (!aloneBefore || !aloneAfter || !storedBefore || !storedAfter || !receivedBefore || !receivedAfter) {
        std::fprintf(stderr, "bench_end_to_end: read_console or the client did not answer\n");
        return 1;
    }

    const double seconds = secondsBetween(start, end);
    const qint64 stored = *storedAfter - *storedBefore;
    const qint64 kept = receivedAfter->count - receivedBefore->count;
    const double endToEnd = double(stored) / seconds;
    const double independent = double(kept) / seconds;
    std::printf("end_to_end_alone_messages_per_second: %.0f messages/s\n",
                double(*aloneAfter - *aloneBefore) / aloneSeconds);
    std::printf("end_to_end_messages_per_second: %.0f messages/s\n", endToEnd);
    std::printf("independent_client_messages_per_second: %.0f messages/s\n", independent);
    std::printf("end_to_end_ratio: %.2f\n", independent > 0 ? endToEnd / independent : 0.0);
    if (stored > 0 && programCpuAfter > programCpuBefore)
        std::printf("end_to_end_cpu_us: %.2f us/message\n",
                    (programCpuAfter - programCpuBefore) * 1e6 / double(stored));
    if (kept > 0)
        std::printf("independent_client_cpu_us: %.2f us/message\n",
                    (receivedAfter->cpuSeconds - receivedBefore->cpuSeconds) * 1e6 / double(kept));
    return 0;
}
