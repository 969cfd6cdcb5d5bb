#pragma once

#include "base/UniqueHandle.h"
#include "wire/WIRTransport.h"

#include <QString>

#include <atomic>
#include <mutex>

struct idevice_private;
struct idevice_connection_private;
struct ssl_st;
struct lockdownd_client_private;
struct ssl_ctx_st;

// How the handles below are freed, so that this header needs none of the libraries' headers.
namespace DeviceRelease {
void device(idevice_private* device);
void connection(idevice_connection_private* connection);
void stream(ssl_st* ssl);
void context(ssl_ctx_st* context);
} // namespace DeviceRelease

// The inspector stream of a USB-attached device: its com.apple.webinspector lockdown service,
// reached through usbmuxd.
//
// libimobiledevice does the lockdown handshake and starts the service. The service connection
// itself is driven here, over its descriptor made non-blocking, with TLS of our own when the
// service asks for it (the client certificate of the host's pair record, as libimobiledevice
// presents it). That gives three things the library's service calls do not:
// - send() and receive() run on different threads, and OpenSSL does not allow two threads in one
//   connection object at once. Every TLS call here is made under one lock, and none of them blocks:
//   waiting happens in poll(), outside the lock.
// - A receive that waits long is never cut short with bytes lost: an idle link just polls on, in
//   slices of 60 seconds.
// - close() shuts the descriptor down, which wakes a receive() blocked on the read thread; the
//   connection is freed only once no send() or receive() is using it.
class DeviceTransport final : public WIRTransport {
public:
    // A string value of the device's lockdown record, or nothing when it has none.
    static std::optional<QString> lockdownString(const char* key, lockdownd_client_private* client);

    static constexpr const char* kClientLabel = "Tavolin";
    static constexpr const char* kServiceName = "com.apple.webinspector";
    static constexpr int kReceiveSliceMs = 60'000;
    static constexpr int kHandshakeTimeoutMs = 10'000;

    explicit DeviceTransport(QString udid);
    ~DeviceTransport() override;

    std::optional<WIRError> open() override;
    bool send(const QByteArray& data) override;
    std::optional<QByteArray> receive(std::size_t count) override;
    bool receiveInto(char* destination, std::size_t count) override;
    void close() override;

    const QString& udid() const { return m_udid; }
    // Whether the service stream runs over TLS (after a successful open()).
    bool isEncrypted() const;

private:
    enum class Step { done, wantRead, wantWrite, failed };

    std::optional<WIRError> connect(const QByteArray& udid);
    bool startTls(int fd, bool legacyDevice);
    static Step tlsStep(ssl_st* ssl, int result);
    Step readSome(char* into, std::size_t room, std::size_t* got);
    Step writeSome(const char* from, std::size_t size, std::size_t* sent);
    bool wait(Step step, int timeoutMs) const;
    bool enter();
    void leave();
    void releaseLocked();

    const QString m_udid;
    mutable std::mutex m_lock; // guards the handles and the counters below
    UniqueHandle<idevice_private, DeviceRelease::device> m_device;
    UniqueHandle<idevice_connection_private, DeviceRelease::connection> m_connection; // owns m_fd
    UniqueHandle<ssl_ctx_st, DeviceRelease::context> m_context;
    UniqueHandle<ssl_st, DeviceRelease::stream> m_ssl;
    int m_fd = -1;
    int m_users = 0; // send() and receive() calls under way
    std::atomic<bool> m_closed = false;
    std::mutex m_io; // serialises every read and write on the stream, TLS above all
};
