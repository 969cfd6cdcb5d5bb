#include "support/FakeDeviceStream.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

using Clock = std::chrono::steady_clock;

namespace {

X509Ptr readCertificate(const QByteArray& pem) {
    const BioPtr bio{BIO_new_mem_buf(pem.constData(), int(pem.size()))};
    return X509Ptr{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)};
}

} // namespace

FakeDeviceStream::FakeDeviceStream(int fd) : m_fd(fd) {
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

void FakeDeviceStream::dropTls() {
    m_ssl.reset();
    m_context.reset();
}

bool FakeDeviceStream::startTls(const QByteArray& certificate, const QByteArray& key,
                                const QList<QByteArray>& trustedRoots, std::chrono::milliseconds timeout) {
    dropTls();
    m_context.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX* context = m_context.get();
    if (!context)
        return false;
    // Hosts that do not know the device's version speak TLS 1.0 to it.
    SSL_CTX_set_security_level(context, 0);
    SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
    SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_num_tickets(context, 0);

    const X509Ptr own = readCertificate(certificate);
    const BioPtr keyBio{BIO_new_mem_buf(key.constData(), int(key.size()))};
    const KeyPtr ownKey{PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)};
    if (!own || !ownKey || SSL_CTX_use_certificate(context, own.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context, ownKey.get()) != 1) {
        dropTls();
        return false;
    }
    for (const QByteArray& root : trustedRoots)
        if (const X509Ptr anchor = readCertificate(root))
            X509_STORE_add_cert(SSL_CTX_get_cert_store(context), anchor.get());
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);

    m_ssl.reset(SSL_new(context));
    SSL* ssl = m_ssl.get();
    SSL_set_fd(ssl, m_fd);
    SSL_set_accept_state(ssl);
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        ERR_clear_error();
        const int result = SSL_do_handshake(ssl);
        if (result == 1)
            return true;
        const int error = SSL_get_error(ssl, result);
        short events = 0;
        if (error == SSL_ERROR_WANT_READ)
            events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE)
            events = POLLOUT;
        if (!events || !waitFor(events, deadline)) {
            dropTls();
            return false;
        }
    }
}

bool FakeDeviceStream::endTls(std::chrono::milliseconds timeout) {
    if (!m_ssl)
        return true;
    const Clock::time_point deadline = Clock::now() + timeout;
    char scratch[4096];
    for (;;) {
        ERR_clear_error();
        const int result = SSL_read(m_ssl.get(), scratch, sizeof scratch);
        if (result > 0)
            continue; // nothing should come after the last answer; drop it
        const int error = SSL_get_error(m_ssl.get(), result);
        if (error == SSL_ERROR_ZERO_RETURN) {
            dropTls();
            return true;
        }
        short events = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (!events || !waitFor(events, deadline)) {
            dropTls();
            return false;
        }
    }
}

bool FakeDeviceStream::waitFor(short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{m_fd, events, 0};
        const int ready = ::poll(&entry, 1, int(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        if (entry.revents & POLLNVAL)
            return false;
        return true; // readable, writable, or hung up: the next call finds out which
    }
}

bool FakeDeviceStream::hasBuffered() const {
    return m_ssl && SSL_pending(m_ssl.get()) > 0;
}

qsizetype FakeDeviceStream::readSome(char* into, std::size_t room) {
    m_waitEvents = POLLIN;
    if (!m_ssl) {
        const ssize_t got = ::recv(m_fd, into, room, MSG_DONTWAIT);
        if (got > 0)
            return got;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;
        return -1;
    }
    ERR_clear_error();
    const int got = SSL_read(m_ssl.get(), into, int(std::min<std::size_t>(room, 1 << 30)));
    if (got > 0)
        return got;
    switch (SSL_get_error(m_ssl.get(), got)) {
    case SSL_ERROR_WANT_READ:
        return 0;
    case SSL_ERROR_WANT_WRITE:
        m_waitEvents = POLLOUT;
        return 0;
    default:
        return -1;
    }
}

qsizetype FakeDeviceStream::writeSome(const char* from, std::size_t size) {
    m_waitEvents = POLLOUT;
    if (size == 0)
        return 0;
    if (!m_ssl) {
        const ssize_t sent = ::send(m_fd, from, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0)
            return sent;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;
        return -1;
    }
    ERR_clear_error();
    const int sent = SSL_write(m_ssl.get(), from, int(std::min<std::size_t>(size, 1 << 20)));
    if (sent > 0)
        return sent;
    switch (SSL_get_error(m_ssl.get(), sent)) {
    case SSL_ERROR_WANT_WRITE:
        return 0;
    case SSL_ERROR_WANT_READ:
        m_waitEvents = POLLIN;
        return 0;
    default:
        return -1;
    }
}

std::optional<QByteArray> FakeDeviceStream::read(std::size_t count, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    QByteArray bytes(qsizetype(count), Qt::Uninitialized);
    std::size_t filled = 0;
    while (filled < count) {
        const qsizetype got = readSome(bytes.data() + filled, count - filled);
        if (got < 0)
            return std::nullopt;
        if (got > 0) {
            filled += std::size_t(got);
            continue;
        }
        if (!waitFor(m_waitEvents, deadline))
            return std::nullopt;
    }
    return bytes;
}

bool FakeDeviceStream::write(const QByteArray& bytes, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::size_t done = 0;
    const std::size_t total = std::size_t(bytes.size());
    while (done < total) {
        const qsizetype sent = writeSome(bytes.constData() + done, total - done);
        if (sent < 0)
            return false;
        if (sent > 0) {
            done += std::size_t(sent);
            continue;
        }
        if (!waitFor(m_waitEvents, deadline))
            return false;
    }
    return true;
}
