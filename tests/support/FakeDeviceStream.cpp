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
    SSL_set_fd(m_ssl.get(), m_fd);
    SSL_set_accept_state(m_ssl.get());
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        ERR_clear_error();
        const qsizetype done = outcome(SSL_do_handshake(m_ssl.get()));
        if (done > 0)
            return true;
        if (done < 0 || !waitFor(m_waitEvents, deadline)) {
            dropTls();
            return false;
        }
    }
}

// Nothing should come after the last answer: whatever does is dropped until the host's
// close_notify (or the end of the stream, which the next read finds).
bool FakeDeviceStream::endTls(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    char scratch[4096];
    for (qsizetype got = 0; m_ssl && got >= 0;) {
        got = readSome(scratch, sizeof scratch);
        if (got == 0 && !waitFor(m_waitEvents, deadline))
            return false;
    }
    dropTls();
    return true;
}

bool FakeDeviceStream::waitFor(short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{m_fd, events, 0};
        const int ready = left.count() > 0 ? ::poll(&entry, 1, int(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        // Readable, writable, or hung up: the next call finds out which.
        return ready > 0 && !(entry.revents & POLLNVAL);
    }
}

bool FakeDeviceStream::hasBuffered() const {
    return m_ssl && SSL_pending(m_ssl.get()) > 0;
}

// What a read, write or handshake that returned `result` means: bytes moved, 0 when the stream is
// not ready (m_waitEvents says for what), -1 at its end or on error.
qsizetype FakeDeviceStream::outcome(long result) {
    if (result > 0)
        return qsizetype(result);
    if (m_ssl) {
        switch (SSL_get_error(m_ssl.get(), int(result))) {
        case SSL_ERROR_WANT_READ:
            m_waitEvents = POLLIN;
            return 0;
        case SSL_ERROR_WANT_WRITE:
            m_waitEvents = POLLOUT;
            return 0;
        default:
            return -1;
        }
    }
    return result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}

qsizetype FakeDeviceStream::readSome(char* into, std::size_t room) {
    m_waitEvents = POLLIN;
    ERR_clear_error();
    return outcome(m_ssl ? long(SSL_read(m_ssl.get(), into, int(std::min<std::size_t>(room, 1 << 30))))
                         : long(::recv(m_fd, into, room, MSG_DONTWAIT)));
}

qsizetype FakeDeviceStream::writeSome(const char* from, std::size_t size) {
    m_waitEvents = POLLOUT;
    if (size == 0)
        return 0;
    ERR_clear_error();
    return outcome(m_ssl ? long(SSL_write(m_ssl.get(), from, int(std::min<std::size_t>(size, 1 << 20))))
                         : long(::send(m_fd, from, size, MSG_DONTWAIT | MSG_NOSIGNAL)));
}

// Moves `total` bytes with `step` (readSome or writeSome), waiting between steps.
template <typename Step>
bool FakeDeviceStream::transfer(std::size_t total, std::chrono::milliseconds timeout, Step step) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (std::size_t done = 0; done < total;) {
        const qsizetype moved = step(done);
        if (moved < 0 || (moved == 0 && !waitFor(m_waitEvents, deadline)))
            return false;
        done += std::size_t(moved);
    }
    return true;
}

std::optional<QByteArray> FakeDeviceStream::read(std::size_t count, std::chrono::milliseconds timeout) {
    QByteArray bytes(qsizetype(count), Qt::Uninitialized);
    if (!transfer(count, timeout,
                  [&](std::size_t done) { return readSome(bytes.data() + done, count - done); }))
        return std::nullopt;
    return bytes;
}

bool FakeDeviceStream::write(const QByteArray& bytes, std::chrono::milliseconds timeout) {
    const std::size_t total = std::size_t(bytes.size());
    return transfer(total, timeout,
                    [&](std::size_t done) { return writeSome(bytes.constData() + done, total - done); });
}
