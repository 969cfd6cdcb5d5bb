// Frames decoded per second: a writer thread pushes typical "_rpc_applicationSentData:" frames
// into a real unix socket as fast as it takes them; the socket's read thread decodes each one and
// hands it to onFrame.
#include "wire/UnixTransport.h"
#include "wire/WIRSocket.h"

#include <QUuid>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray typicalFrame() {
    QByteArray json =
        R"({"method":"Target.dispatchMessageFromTarget","params":{"targetId":"page-12","message":)"
        R"("{\"method\":\"Console.messageAdded\",\"params\":{\"message\":{\"source\":\"console-api\",)"
        R"(\"level\":\"log\",\"text\":\"cart updated\",\"type\":\"log\",\"line\":214,\"column\":22,)"
        R"(\"url\":\"https://shop.example.com/static/js/app.3f9c2.js\",\"repeatCount\":1,)"
        R"(\"parameters\":[{\"type\":\"string\",\"value\":\"cart updated\"},{\"type\":\"object\",)"
        R"(\"objectId\":\"{\\\"injectedScriptId\\\":3,\\\"id\\\":41}\",\"className\":\"Object\",)"
        R"(\"description\":\"Object\",\"preview\":{\"type\":\"object\",\"description\":\"Object\",)"
        R"(\"lossless\":false,\"overflow\":false,\"properties\":[{\"name\":\"items\",\"type\":\"number\",)"
        R"(\"value\":\"3\"},{\"name\":\"total\",\"type\":\"number\",\"value\":\"59.97\"}]}}],)"
        R"(\"stackTrace\":{\"callFrames\":[{\"functionName\":\"updateCart\",\"url\":\"https://shop.)"
        R"(example.com/static/js/app.3f9c2.js\",\"scriptId\":\"7\",\"lineNumber\":214,\"columnNumber\":22}]}}}}"}})";
    while (json.size() < 1000)
        json.append(' ');
    const QVariantMap argument{
        {QStringLiteral("WIRApplicationIdentifierKey"), QStringLiteral("PID:4711")},
        {QStringLiteral("WIRDestinationKey"), QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()},
        {QStringLiteral("WIRMessageDataKey"), json},
    };
    return *WIRSocket::encodeFrame(QStringLiteral("_rpc_applicationSentData:"), argument);
}

} // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    const QByteArray frame = typicalFrame();
    const int total = qEnvironmentVariableIntValue("BENCH_FRAMES") > 0
                          ? qEnvironmentVariableIntValue("BENCH_FRAMES")
                          : 400'000;
    const int perBatch = 64;
    QByteArray batch;
    for (int i = 0; i < perBatch; ++i)
        batch += frame;

    char dir[] = "/tmp/tvbench-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    const std::string path = std::string(dir) + "/bench.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0)
        return 1;

    std::atomic<int> frames{0};
    std::mutex lock;
    std::condition_variable done;
    auto socket = WIRSocket::create(
        std::make_shared<UnixTransport>(QString::fromStdString(path)),
        [&](QString selector, QVariantMap argument) {
            if (selector.size() > 0 && !argument.isEmpty() && frames.fetch_add(1) + 1 == total) {
                std::lock_guard guard(lock);
                done.notify_all();
            }
        },
        [&](QString) { done.notify_all(); });
    if (socket->open())
        return 1;
    const int peer = ::accept(listener, nullptr, nullptr);

    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] {
        for (int sent = 0; sent < total; sent += perBatch) {
            const char* next = batch.constData();
            size_t left = size_t(batch.size());
            while (left > 0) {
                const ssize_t written = ::write(peer, next, left);
                if (written <= 0)
                    return;
                next += written;
                left -= size_t(written);
            }
        }
    });
    {
        std::unique_lock guard(lock);
        done.wait_for(guard, std::chrono::seconds(60), [&] { return frames.load() >= total; });
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    socket->close();
    ::close(peer);
    ::close(listener);
    ::unlink(path.c_str());
    ::rmdir(dir);

    std::printf("frame_bytes: %lld bytes\n", static_cast<long long>(frame.size()));
    std::printf("frames_per_second: %.0f frames/s\n", frames.load() / seconds);
    return frames.load() == total ? 0 : 1;
}
