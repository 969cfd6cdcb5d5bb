#include "wire/DeviceTransport.h"

#include "base/Logging.h"
#include "wire/DeviceTls.h"
#include "wire/SocketFlags.h"

#include <openssl/err.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

namespace DeviceRelease {
void device(idevice_private* device) {
    idevice_free(device);
}
void connection(idevice_connection_private* connection) {
    idevice_disconnect(connection);
}
void stream(ssl_st* ssl) {
    freeQuietly(ssl);
}
void context(ssl_ctx_st* context) {
    SSL_CTX_free(context);
}
} // namespace DeviceRelease

DeviceTransport::DeviceTransport(QString udid) : m_udid(std::move(udid)) {}

DeviceTransport::~DeviceTransport() {
    std::lock_guard lock(m_lock);
    m_closed = true;
    releaseLocked();
}

bool DeviceTransport::isEncrypted() const {
    std::lock_guard lock(m_lock);
    return m_ssl != nullptr;
}

std::optional<WIRError> DeviceTransport::open() {
    {
        // Opening an open transport changes nothing: the hub opens transports ahead.
        std::lock_guard lock(m_lock);
        if (m_connection)
            return std::nullopt;
        if (m_closed)
            return WIRError::deviceUnavailable();
    }
    if (std::optional<WIRError> error = connect(m_udid.toUtf8())) {
        std::lock_guard lock(m_lock);
        m_closed = true;
        releaseLocked();
        return error;
    }
    return std::nullopt;
}

// Lockdown starts the inspector service; its connection, and TLS when the service asks for it,
// are kept. The handles are released by the caller when this fails.
std::optional<WIRError> DeviceTransport::connect(const QByteArray& udid) {
    idevice_t rawDevice = nullptr;
    const bool found =
        idevice_new_with_options(&rawDevice, udid.constData(), IDEVICE_LOOKUP_USBMUX) == IDEVICE_E_SUCCESS;
    DevicePtr device{rawDevice};
    if (!found || !device) {
        qCWarning(lcWire) << "device" << udid << "is not attached";
        return WIRError::deviceUnavailable();
    }
    lockdownd_client_t rawLockdown = nullptr;
    const bool paired =
        lockdownd_client_new_with_handshake(device.get(), &rawLockdown, kClientLabel) == LOCKDOWN_E_SUCCESS;
    LockdownPtr lockdown{rawLockdown};
    if (!paired || !lockdown) {
        qCWarning(lcWire) << "lockdown refused a session with device" << udid;
        return WIRError::pairingRequired();
    }
    lockdownd_service_descriptor_t rawService = nullptr;
    const bool started =
        lockdownd_start_service(lockdown.get(), kServiceName, &rawService) == LOCKDOWN_E_SUCCESS;
    ServicePtr service{rawService};
    if (!started || !service) {
        qCWarning(lcWire) << "device" << udid << "did not start the inspector service";
        return WIRError::inspectorDisabled();
    }
    // Devices before iOS 10 speak nothing newer than TLS 1.0.
    const std::optional<QString> version = lockdownString("ProductVersion", lockdown.get());
    const bool legacy = version && version->section(QLatin1Char('.'), 0, 0).toInt() < 10;

    idevice_connection_t rawConnection = nullptr;
    const bool connected = idevice_connect(device.get(), service->port, &rawConnection) == IDEVICE_E_SUCCESS;
    ConnectionPtr connection{rawConnection};
    int fd = -1;
    if (!connected || !connection || idevice_connection_get_fd(connection.get(), &fd) != IDEVICE_E_SUCCESS ||
        fd < 0) {
        qCWarning(lcWire) << "could not connect to the inspector service of device" << udid;
        return WIRError::deviceUnavailable();
    }
    // Lockdown's part is done before the TLS handshake starts.
    const bool tls = service->ssl_enabled;
    service.reset();
    lockdown.reset();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
#ifdef SO_NOSIGPIPE
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    {
        std::lock_guard lock(m_lock);
        m_device.reset(device.release());
        m_connection.reset(connection.release());
        m_fd = fd;
    }
    if (tls && !startTls(fd, legacy)) {
        qCWarning(lcWire) << "TLS with the inspector service of device" << udid << "failed";
        return WIRError::deviceUnavailable();
    }
    return std::nullopt;
}

bool DeviceTransport::startTls(int fd, bool legacyDevice) {
    SslContextPtr context = DeviceTls::clientContext(m_udid.toUtf8(), legacyDevice);
    SslPtr stream = context ? DeviceTls::clientStream(context.get(), fd) : nullptr;
    SSL* ssl = stream.get();
    {
        std::lock_guard lock(m_lock);
        m_context.reset(context.release());
        m_ssl.reset(stream.release());
    }
    if (!ssl)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs);
    for (;;) {
        ERR_clear_error();
        const int result = SSL_do_handshake(ssl);
        if (result == 1)
            return true;
        const int error = SSL_get_error(ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 ||
            !wait(error == SSL_ERROR_WANT_READ ? Step::wantRead : Step::wantWrite, int(left.count())))
            return false;
    }
}

bool DeviceTransport::enter() {
    std::lock_guard lock(m_lock);
    if (m_closed || !m_connection)
        return false;
    ++m_users;
    return true;
}

void DeviceTransport::leave() {
    std::lock_guard lock(m_lock);
    if (--m_users == 0 && m_closed)
        releaseLocked();
}

// What a TLS call that did not complete asks for.
DeviceTransport::Step DeviceTransport::tlsStep(ssl_st* ssl, int result) {
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return Step::wantRead;
    case SSL_ERROR_WANT_WRITE:
        return Step::wantWrite;
    default:
        return Step::failed;
    }
}

// Reads what is there without waiting. The only place besides writeSome() that touches the stream.
DeviceTransport::Step DeviceTransport::readSome(char* into, std::size_t room, std::size_t* got) {
    std::lock_guard io(m_io);
    if (m_ssl) {
        ERR_clear_error();
        const int result = SSL_read(m_ssl.get(), into, int(std::min<std::size_t>(room, 1u << 30)));
        if (result > 0) {
            *got = std::size_t(result);
            return Step::done;
        }
        return tlsStep(m_ssl.get(), result);
    }
    const ssize_t result = ::recv(m_fd, into, room, MSG_DONTWAIT);
    if (result > 0) {
        *got = std::size_t(result);
        return Step::done;
    }
    return result < 0 && wouldBlock(errno) ? Step::wantRead : Step::failed;
}

DeviceTransport::Step DeviceTransport::writeSome(const char* from, std::size_t size, std::size_t* sent) {
    std::lock_guard io(m_io);
    if (m_ssl) {
        ERR_clear_error();
        // Retried with the same length after a "want": OpenSSL asks for that.
        const int result = SSL_write(m_ssl.get(), from, int(std::min<std::size_t>(size, 1u << 20)));
        if (result > 0) {
            *sent = std::size_t(result);
            return Step::done;
        }
        return tlsStep(m_ssl.get(), result);
    }
    const ssize_t result = ::send(m_fd, from, size, MSG_DONTWAIT | kSendFlags);
    if (result > 0) {
        *sent = std::size_t(result);
        return Step::done;
    }
    return result < 0 && wouldBlock(errno) ? Step::wantWrite : Step::failed;
}

// Waits, outside every lock, until the stream may move on; false on time-out. A shut-down
// descriptor reports at once.
bool DeviceTransport::wait(Step step, int timeoutMs) const {
    pollfd entry{m_fd, short(step == Step::wantWrite ? POLLOUT : POLLIN), 0};
    const int ready = ::poll(&entry, 1, timeoutMs);
    return ready != 0;
}

bool DeviceTransport::send(const QByteArray& data) {
    if (!enter())
        return false;
    const char* next = data.constData();
    std::size_t left = std::size_t(data.size());
    bool ok = true;
    while (left > 0) {
        std::size_t sent = 0;
        const Step step = writeSome(next, left, &sent);
        if (step == Step::done) {
            next += sent;
            left -= sent;
            continue;
        }
        if (step == Step::failed || m_closed) {
            ok = false;
            break;
        }
        // A TLS write that needs to read first leaves the reading to the read thread.
        wait(step, step == Step::wantRead ? 10 : kReceiveSliceMs);
    }
    leave();
    return ok;
}

bool DeviceTransport::receiveInto(char* destination, std::size_t count) {
    if (!enter())
        return false;
    std::size_t filled = 0;
    bool ok = true;
    while (filled < count) {
        std::size_t got = 0;
        const Step step = readSome(destination + filled, count - filled, &got);
        if (step == Step::done) {
            filled += got;
            continue;
        }
        if (step == Step::failed || m_closed) {
            ok = false;
            break;
        }
        // An idle link is not an error: wait on, a slice at a time, until data comes, the device
        // goes or close() shuts the descriptor down.
        wait(step, kReceiveSliceMs);
    }
    leave();
    return ok && !m_closed;
}

std::optional<QByteArray> DeviceTransport::receive(std::size_t count) {
    QByteArray buffer(qsizetype(count), Qt::Uninitialized);
    if (!receiveInto(buffer.data(), count))
        return std::nullopt;
    return buffer;
}

void DeviceTransport::close() {
    std::lock_guard lock(m_lock);
    if (m_closed.exchange(true))
        return;
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
    if (m_users == 0)
        releaseLocked();
}

// Frees the stream and the device once no send() or receive() is using them.
void DeviceTransport::releaseLocked() {
    if (m_users > 0)
        return;
    m_ssl.reset();
    m_context.reset();
    m_connection.reset();
    m_fd = -1;
    m_device.reset();
}

std::optional<QString> DeviceTransport::lockdownString(const char* key, lockdownd_client_private* client) {
    plist_t raw = nullptr;
    const bool answered = lockdownd_get_value(client, nullptr, key, &raw) == LOCKDOWN_E_SUCCESS;
    const PlistPtr node{raw};
    if (!answered || !node || plist_get_node_type(node.get()) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node.get(), &length);
    if (!text)
        return std::nullopt;
    return QString::fromUtf8(text, qsizetype(length));
}
