#include "inspector/UnixTransport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
constexpr qsizetype kReadAhead = 256 * 1024;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif
} // namespace

UnixTransport::UnixTransport(QString path) : m_path(std::move(path)) {}

UnixTransport::~UnixTransport() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<WIRError> UnixTransport::open() {
    if (m_fd >= 0)
        return WIRError::socket(EISCONN);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return WIRError::socket(errno);
#ifdef SO_NOSIGPIPE
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    const QByteArray bytes = m_path.toUtf8();
    if (bytes.size() > kMaxPathBytes) {
        ::close(fd);
        return WIRError::pathTooLong();
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        const int error = errno;
        ::close(fd);
        return WIRError::socket(error);
    }
    m_fd = fd;
    m_closed.store(false);
    return std::nullopt;
}

bool UnixTransport::send(const QByteArray& data) {
    if (m_closed.load())
        return false;
    const char* next = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::send(m_fd, next, size_t(left), kSendFlags);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        left -= written;
    }
    return true;
}

// Makes at least `wanted` unread bytes available in the read-ahead buffer.
bool UnixTransport::fill(std::size_t wanted) {
    qsizetype available = m_buffer.size() - m_bufferStart;
    if (m_bufferStart > 0 && (available == 0 || m_bufferStart >= kReadAhead)) {
        m_buffer.remove(0, m_bufferStart);
        m_bufferStart = 0;
    }
    while (std::size_t(available) < wanted) {
        if (m_closed.load())
            return false;
        const qsizetype capacity = std::max<qsizetype>(kReadAhead, qsizetype(wanted) - available);
        const qsizetype end = m_buffer.size();
        m_buffer.resize(end + capacity);
        const ssize_t got = ::read(m_fd, m_buffer.data() + end, size_t(capacity));
        if (got < 0 && errno == EINTR) {
            m_buffer.resize(end);
            continue;
        }
        if (got <= 0) {
            m_buffer.resize(end);
            return false;
        }
        m_buffer.resize(end + got);
        available += got;
    }
    return true;
}

std::optional<QByteArray> UnixTransport::receive(std::size_t count) {
    if (m_closed.load())
        return std::nullopt;
    if (count == 0)
        return QByteArray();
    const qsizetype available = m_buffer.size() - m_bufferStart;
    // A large body with nothing buffered goes straight into its own buffer.
    if (available == 0 && count >= std::size_t(kReadAhead)) {
        QByteArray result;
        result.resize(qsizetype(count));
        std::size_t filled = 0;
        while (filled < count) {
            if (m_closed.load())
                return std::nullopt;
            const ssize_t got = ::read(m_fd, result.data() + filled, count - filled);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return std::nullopt;
            filled += std::size_t(got);
        }
        return result;
    }
    if (!fill(count))
        return std::nullopt;
    QByteArray result(m_buffer.constData() + m_bufferStart, qsizetype(count));
    m_bufferStart += qsizetype(count);
    return result;
}

void UnixTransport::close() {
    if (m_fd < 0 || m_closed.exchange(true))
        return;
    ::shutdown(m_fd, SHUT_RDWR);
}
