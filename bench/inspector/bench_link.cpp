// End-to-end throughput of an inspector link: a service thread writes wrapped
// "Console.messageAdded" events of about 1 KB into a real unix socket as fast as it takes them,
// and the entries are counted as they arrive on the main thread.
//
// Run without arguments it runs two child processes: one at full speed, one whose main thread
// is slowed on purpose, to show that the link then slows down instead of piling up memory.
#include "ProcFiles.h"
#include "inspector/ConsoleEntry.h"
#include "inspector/InspectorTiming.h"
#include "inspector/WebInspectorConnection.h"
#include "wire/UnixTransport.h"
#include "wire/WIRSocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QtEndian>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

QByteArray consoleEvent(int index) {
    QByteArray inner =
        R"({"method":"Console.messageAdded","params":{"message":{"source":"console-api","level":"log",)"
        R"("text":"cart updated","type":"log","line":214,"column":22,)"
        R"("url":"https://shop.example.com/static/js/app.3f9c2.js","repeatCount":1,)"
        R"("parameters":[{"type":"string","value":"cart updated %d"},{"type":"number","value":)" +
        QByteArray::number(index) +
        R"(,"description":"1"},{"type":"object","objectId":"{\"injectedScriptId\":3,\"id\":41}","className":"Object",)"
        R"("description":"Object","preview":{"type":"object","description":"Object","lossless":false,)"
        R"("overflow":false,"properties":[{"name":"items","type":"number","value":"3"},)"
        R"({"name":"total","type":"number","value":"59.97"},{"name":"currency","type":"string","value":"EUR"}]}}],)"
        R"("stackTrace":{"callFrames":[{"functionName":"updateCart","url":"https://shop.example.com/static/js/app.3f9c2.js",)"
        R"("scriptId":"7","lineNumber":214,"columnNumber":22},{"functionName":"","url":"https://shop.example.com/)"
        R"(static/js/app.3f9c2.js","scriptId":"7","lineNumber":90,"columnNumber":5}]}}}})";
    QByteArray escaped;
    for (char c : inner) {
        if (c == '"' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return R"({"method":"Target.dispatchMessageFromTarget","params":{"targetId":"page-12","message":")" +
           escaped + R"("}})";
}

// The device side: answers the application list and listing, waits for the page to be enabled,
// then writes `total` console events for the session.
class Service {
public:
    Service(std::string path, int total) : m_path(std::move(path)), m_total(total) {}

    bool listen() {
        m_listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        ::unlink(m_path.c_str());
        return ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(m_listener, 1) == 0;
    }

    void run() {
        runLoop();
        rusage usage{};
        ::getrusage(RUSAGE_THREAD, &usage);
        m_cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }

    void runLoop() {
        m_peer = ::accept(m_listener, nullptr, nullptr);
        QByteArray buffer;
        char chunk[65536];
        QString sender;
        while (!m_started) {
            const ssize_t got = ::read(m_peer, chunk, sizeof chunk);
            if (got <= 0)
                return;
            buffer.append(chunk, got);
            while (buffer.size() >= 4) {
                const quint32 length = qFromBigEndian<quint32>(buffer.constData());
                if (buffer.size() < qsizetype(4 + length))
                    break;
                const auto message = PropertyListMessage(buffer.mid(4, length));
                buffer.remove(0, 4 + length);
                handle(message.first, message.second, sender);
            }
        }
    }

    Clock::time_point startedAt() const { return m_startedAt; }
    double cpuSeconds() const { return m_cpuSeconds; }

    void prepare() {
        const int perBatch = 32;
        for (int b = 0; b < 64; ++b) {
            QByteArray batch;
            for (int i = 0; i < perBatch; ++i)
                batch += *WIRSocket::encodeFrame(QStringLiteral("_rpc_applicationSentData:"),
                                                 {{"WIRApplicationIdentifierKey", QStringLiteral("PID:4711")},
                                                  {"WIRPageIdentifierKey", 1},
                                                  {"WIRMessageDataKey", consoleEvent(b * perBatch + i)}});
            m_batches.push_back(batch);
        }
    }

private:
    static std::pair<QString, QVariantMap> PropertyListMessage(const QByteArray& body);

    void write(const QString& selector, const QVariantMap& argument) {
        const QByteArray frame = *WIRSocket::encodeFrame(selector, argument);
        writeRaw(frame);
    }
    void writeRaw(const QByteArray& bytes) {
        const char* next = bytes.constData();
        size_t left = size_t(bytes.size());
        while (left > 0) {
            const ssize_t written = ::send(m_peer, next, left, MSG_NOSIGNAL);
            if (written <= 0)
                return;
            next += written;
            left -= size_t(written);
        }
    }

    void handle(const QString& selector, const QVariantMap& argument, QString& sender) {
        if (selector == QLatin1String("_rpc_getConnectedApplications:")) {
            write(QStringLiteral("_rpc_reportConnectedApplicationList:"),
                  {{"WIRApplicationDictionaryKey",
                    QVariantMap{
                        {"PID:4711", QVariantMap{{"WIRApplicationNameKey", QStringLiteral("Shop")}}}}}});
        } else if (selector == QLatin1String("_rpc_forwardGetListing:")) {
            write(QStringLiteral("_rpc_applicationSentListing:"),
                  {{"WIRApplicationIdentifierKey", QStringLiteral("PID:4711")},
                   {"WIRListingKey",
                    QVariantMap{
                        {"1", QVariantMap{{"WIRPageIdentifierKey", 1},
                                          {"WIRTypeKey", QStringLiteral("WIRTypeWebPage")},
                                          {"WIRTitleKey", QStringLiteral("Shop")},
                                          {"WIRURLKey", QStringLiteral("https://shop.example.com/")}}}}}});
        } else if (selector == QLatin1String("_rpc_forwardSocketSetup:")) {
            sender = argument.value("WIRSenderKey").toString();
        } else if (selector == QLatin1String("_rpc_forwardSocketData:") &&
                   argument.value("WIRSocketDataKey").toByteArray().contains("Console.enable")) {
            m_started = true;
            m_startedAt = Clock::now();
            // The frames are made before the clock starts; the page is addressed by application
            // and page id, so the same frames serve any session.
            const int perBatch = 32;
            for (int sent = 0; sent < m_total;) {
                const QByteArray& batch = m_batches[size_t(sent / perBatch) % m_batches.size()];
                sent += perBatch;
                writeRaw(batch);
            }
        }
    }

    std::string m_path;
    int m_total;
    int m_listener = -1;
    int m_peer = -1;
    bool m_started = false;
    Clock::time_point m_startedAt;
    std::vector<QByteArray> m_batches;
    double m_cpuSeconds = 0;
};

} // namespace

#include "wire/PropertyList.h"

std::pair<QString, QVariantMap> Service::PropertyListMessage(const QByteArray& body) {
    const auto message = PropertyList::decodeMessage(body.constData(), size_t(body.size()));
    if (!message)
        return {};
    return {message->selector, message->argument};
}

namespace {

// CPU seconds of each thread of this process, by thread name.
std::map<std::string, double> threadCpu() {
    std::map<std::string, double> result;
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (comm.open(QIODevice::ReadOnly))
            result[comm.readAll().trimmed().toStdString()] += cpuSeconds(QStringLiteral("self/task/") + task);
    }
    return result;
}

int runChild(bool slow) {
    int argc = 1;
    char name[] = "bench_link";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    InspectorTiming timing;
    timing.enableFallback = std::chrono::milliseconds(10);
    InspectorTiming::set(timing);

    const int wanted = qEnvironmentVariableIntValue("BENCH_MESSAGES");
    const int total = wanted > 0 ? wanted / 32 * 32 : slow ? 96'000 : 192'000; // whole batches of 32
    char dir[] = "/tmp/tvlink-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    const std::string path = std::string(dir) + "/link.sock";
    Service service(path, total);
    if (!service.listen())
        return 1;
    service.prepare();
    std::thread serviceThread([&] {
        pthread_setname_np(pthread_self(), "bench-service");
        service.run();
    });

    int received = 0;
    Clock::time_point lastAt;
    WebInspectorConnection connection(QStringLiteral("BENCH-DEVICE"),
                                      std::make_shared<UnixTransport>(QString::fromStdString(path)));
    // Entries come as the hub takes them: each run of them in one call.
    connection.onEntries = [&](QList<ConsoleEntry> entries) {
        for (const ConsoleEntry& entry : entries) {
            if (entry.source != QLatin1String("console-api"))
                continue;
            if (slow) {
                // A main thread that is busy with something else: 20 µs per entry.
                const auto until = Clock::now() + std::chrono::microseconds(20);
                while (Clock::now() < until) {
                }
            }
            if (++received == total) {
                lastAt = Clock::now();
                app.quit();
            }
        }
    };
    if (connection.start())
        return 1;
    connection.setCapturing(true);
    QTimer::singleShot(120'000, &app, [&] { app.exit(1); });
    const int status = app.exec();
    const double seconds = std::chrono::duration<double>(lastAt - service.startedAt()).count();
    const auto cpu = threadCpu();
    serviceThread.join();
    ::unlink(path.c_str());
    ::rmdir(dir);
    if (status != 0 || received != total) {
        std::fprintf(stderr, "bench_link: received %d of %d\n", received, total);
        return 1;
    }
    if (slow) {
        std::printf("link_peak_rss_slow_main_mb: %.1f MB\n", statusMb(QStringLiteral("self"), "VmHWM:"));
        return 0;
    }
    std::printf("link_messages_per_second: %.0f messages/s\n", total / seconds);
    const auto perMessage = [&](const std::string& thread) {
        const auto it = cpu.find(thread);
        return it == cpu.end() ? 0.0 : it->second * 1e6 / total;
    };
    if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
        for (const auto& [name, seconds] : cpu)
            std::fprintf(stderr, "thread %s: %.3f s\n", name.c_str(), seconds);
    std::printf("link_cpu_read_thread_us: %.2f us/message\n", perMessage("wir-read"));
    std::printf("link_cpu_queue_thread_us: %.2f us/message\n", perMessage("tavolin.inspect"));
    std::printf("link_cpu_main_thread_us: %.2f us/message\n", perMessage("bench_link"));
    std::printf("link_cpu_service_thread_us: %.2f us/message\n", service.cpuSeconds() * 1e6 / total);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && std::strcmp(argv[1], "--fast") == 0)
        return runChild(false);
    if (argc > 1 && std::strcmp(argv[1], "--slow") == 0)
        return runChild(true);
    int status = 0;
    for (const char* mode : {"--fast", "--slow"}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QString::fromLocal8Bit(argv[0]), {QString::fromLatin1(mode)});
        if (!child.waitForFinished(180'000) || child.exitCode() != 0)
            status = 1;
    }
    return status;
}
