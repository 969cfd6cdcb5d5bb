#include "wire/DeviceTransport.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <plist/plist.h>
#include <usbmuxd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0; // SO_NOSIGPIPE is set on the socket instead
#endif

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// A socket BIO that never raises SIGPIPE: OpenSSL's own writes with write(2).
int socketOf(BIO* bio) {
    return int(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int bioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(socketOf(bio), data, std::size_t(size), kSendFlags);
    if (sent < 0 && wouldBlock(errno))
        BIO_set_retry_write(bio);
    return int(sent);
}

int bioRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(socketOf(bio), data, std::size_t(size), 0);
    if (got < 0 && wouldBlock(errno))
        BIO_set_retry_read(bio);
    return int(got);
}

long bioControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO* socketBio(int fd) {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "device socket");
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_ctrl(m, bioControl);
        BIO_meth_set_create(m, bioCreate);
        return m;
    }();
    BIO* bio = BIO_new(method);
    if (bio)
        BIO_set_data(bio, reinterpret_cast<void*>(std::intptr_t(fd)));
    return bio;
}

// One PEM entry of the host's pair record for the device, as usbmuxd keeps it.
QByteArray pairRecordEntry(plist_t record, const char* key) {
    plist_t node = plist_dict_get_item(record, key);
    if (!node || plist_get_node_type(node) != PLIST_DATA)
        return {};
    char* data = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &data, &length);
    QByteArray bytes(data, qsizetype(length));
    std::free(data);
    return bytes;
}

// The client certificate and key that libimobiledevice presents to the device: the root of the
// pair record, which the device trusts since pairing.
bool useHostIdentity(SSL_CTX* context, const QByteArray& udid) {
    char* data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.constData(), &data, &size) < 0 || !data)
        return false;
    plist_t record = nullptr;
    plist_from_memory(data, size, &record);
    std::free(data);
    if (!record)
        return false;
    const QByteArray certificatePem = pairRecordEntry(record, "RootCertificate");
    const QByteArray keyPem = pairRecordEntry(record, "RootPrivateKey");
    plist_free(record);

    BIO* bio = BIO_new_mem_buf(certificatePem.constData(), int(certificatePem.size()));
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    bio = BIO_new_mem_buf(keyPem.constData(), int(keyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    const bool ok = certificate && key && SSL_CTX_use_certificate(context, certificate) == 1 &&
                    SSL_CTX_use_PrivateKey(context, key) == 1;
    X509_free(certificate);
    EVP_PKEY_free(key);
    return ok;
}

} // namespace

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
    const QByteArray udid = m_udid.toUtf8();
    idevice_t device = nullptr;
    if (idevice_new_with_options(&device, udid.constData(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS ||
        !device)
        return WIRError::deviceUnavailable();

    lockdownd_client_t lockdown = nullptr;
    if (lockdownd_client_new_with_handshake(device, &lockdown, kClientLabel) != LOCKDOWN_E_SUCCESS ||
        !lockdown) {
        if (lockdown)
            lockdownd_client_free(lockdown);
        idevice_free(device);
        return WIRError::pairingRequired();
    }

    lockdownd_service_descriptor_t service = nullptr;
    if (lockdownd_start_service(lockdown, kServiceName, &service) != LOCKDOWN_E_SUCCESS || !service) {
        if (service)
            lockdownd_service_descriptor_free(service);
        lockdownd_client_free(lockdown);
        idevice_free(device);
        return WIRError::inspectorDisabled();
    }
    // Devices before iOS 10 speak nothing newer than TLS 1.0.
    const std::optional<QString> version = lockdownString("ProductVersion", lockdown);
    const bool legacy = version && version->section(QLatin1Char('.'), 0, 0).toInt() < 10;

    idevice_connection_t connection = nullptr;
    bool ok = idevice_connect(device, service->port, &connection) == IDEVICE_E_SUCCESS && connection;
    int fd = -1;
    if (ok)
        ok = idevice_connection_get_fd(connection, &fd) == IDEVICE_E_SUCCESS && fd >= 0;
    const bool tls = service->ssl_enabled;
    lockdownd_service_descriptor_free(service);
    lockdownd_client_free(lockdown);
    if (ok) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
#ifdef SO_NOSIGPIPE
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    }
    {
        std::lock_guard lock(m_lock);
        m_device = device;
        m_connection = connection;
        m_fd = ok ? fd : -1;
    }
    if (ok && tls)
        ok = startTls(fd, legacy);
    if (!ok) {
        std::lock_guard lock(m_lock);
        m_closed = true;
        releaseLocked();
        return WIRError::deviceUnavailable();
    }
    return std::nullopt;
}

bool DeviceTransport::startTls(int fd, bool legacyDevice) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context)
        return false;
    // What devices accept, as libimobiledevice sets it up. The device's own certificate is not
    // checked: devices present certificates of their own making.
    SSL_CTX_set_security_level(context, 0);
    SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
    if (legacyDevice)
        SSL_CTX_set_max_proto_version(context, TLS1_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    SSL* ssl = nullptr;
    BIO* bio = nullptr;
    if (useHostIdentity(context, m_udid.toUtf8()) && (ssl = SSL_new(context)) && (bio = socketBio(fd))) {
        SSL_set_bio(ssl, bio, bio);
        SSL_set_connect_state(ssl);
    }
    {
        std::lock_guard lock(m_lock);
        m_context = context;
        m_ssl = ssl;
    }
    if (!ssl || !bio)
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
        const int result = SSL_read(m_ssl, into, int(std::min<std::size_t>(room, 1u << 30)));
        if (result > 0) {
            *got = std::size_t(result);
            return Step::done;
        }
        return tlsStep(m_ssl, result);
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
        const int result = SSL_write(m_ssl, from, int(std::min<std::size_t>(size, 1u << 20)));
        if (result > 0) {
            *sent = std::size_t(result);
            return Step::done;
        }
        return tlsStep(m_ssl, result);
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
    if (m_ssl) {
        // The descriptor may be shut down already: no close_notify.
        SSL_set_quiet_shutdown(m_ssl, 1);
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    if (m_context) {
        SSL_CTX_free(m_context);
        m_context = nullptr;
    }
    if (m_connection) {
        idevice_disconnect(m_connection);
        m_connection = nullptr;
    }
    m_fd = -1;
    if (m_device) {
        idevice_free(m_device);
        m_device = nullptr;
    }
}

std::optional<QString> DeviceTransport::lockdownString(const char* key, lockdownd_client_private* client) {
    plist_t node = nullptr;
    if (lockdownd_get_value(client, nullptr, key, &node) != LOCKDOWN_E_SUCCESS || !node) {
        if (node)
            plist_free(node);
        return std::nullopt;
    }
    std::optional<QString> result;
    if (plist_get_node_type(node) == PLIST_STRING) {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        if (text) {
            result = QString::fromUtf8(text);
            std::free(text);
        }
    }
    plist_free(node);
    return result;
}
