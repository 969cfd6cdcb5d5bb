#include "wire/UnixTransport.h"

#include "base/Logging.h"
#include "wire/SocketFlags.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
constexpr std::size_t kReadAhead = 128 * 1024;
} // namespace

UnixTransport::UnixTransport(QString path) : m_path(std::move(path)), m_buffer(new char[kReadAhead]) {}

UnixTransport::~UnixTransport() = default;

std::optional<WIRError> UnixTransport::open() {
    // Opening an open transport changes nothing: the hub opens transports ahead, off the main thread.
    if (m_fd)
        return m_closed.load() ? std::optional(WIRError::socket(EBADF)) : std::nullopt;
    UniqueFd fd{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (!fd) {
        qCWarning(lcWire) << "no socket for" << m_path << std::strerror(errno);
        return WIRError::socket(errno);
    }
#ifdef SO_NOSIGPIPE
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    const QByteArray bytes = m_path.toUtf8();
    if (bytes.size() > kMaxPathBytes) {
        qCWarning(lcWire) << "socket path too long:" << m_path;
        return WIRError::pathTooLong();
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    int result;
    do {
        result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        const int error = errno;
        qCWarning(lcWire) << "cannot connect to" << m_path << std::strerror(error);
        return WIRError::socket(error);
    }
    m_fd = std::move(fd);
    m_closed.store(false);
    return std::nullopt;
}

bool UnixTransport::send(const QByteArray& data) {
    if (m_closed.load())
        return false;
    const char* next = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::send(m_fd.get(), next, size_t(left), kSendFlags);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        left -= written;
    }
    return true;
}

std::optional<QByteArray> UnixTransport::receive(std::size_t count) {
    QByteArray result;
    result.resize(qsizetype(count));
    if (!receiveInto(result.data(), count))
        return std::nullopt;
    return result;
}

bool UnixTransport::receiveInto(char* destination, std::size_t count) {
    if (m_closed.load())
        return false;
    // Serve what the read-ahead already holds.
    const std::size_t buffered = std::min(count, m_end - m_start);
    std::memcpy(destination, m_buffer.get() + m_start, buffered);
    m_start += buffered;
    std::size_t filled = buffered;
    while (filled < count) {
        if (m_closed.load())
            return false;
        const std::size_t missing = count - filled;
        // Large reads go straight to their destination; small ones read ahead.
        const bool direct = missing >= kReadAhead;
        char* target = direct ? destination + filled : m_buffer.get();
        const ssize_t got = ::read(m_fd.get(), target, direct ? missing : kReadAhead);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        if (direct) {
            filled += std::size_t(got);
        } else {
            const std::size_t used = std::min(missing, std::size_t(got));
            std::memcpy(destination + filled, m_buffer.get(), used);
            filled += used;
            m_start = used;
            m_end = std::size_t(got);
        }
    }
    return true;
}

void UnixTransport::close() {
    if (!m_fd || m_closed.exchange(true))
        return;
    ::shutdown(m_fd.get(), SHUT_RDWR);
}
