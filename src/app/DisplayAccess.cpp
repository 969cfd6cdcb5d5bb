#include "app/DisplayAccess.h"

#include <QRegularExpression>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace DisplayAccess {

namespace {

int connectUnix(const QByteArray& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= qsizetype(sizeof address.sun_path)) {
        ::close(fd);
        return -1;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int connectTcp(const QByteArray& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return -1;
    int fd = -1;
    for (addrinfo* at = found; at && fd < 0; at = at->ai_next) {
        fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd >= 0 && ::connect(fd, at->ai_addr, at->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

// Sends the X11 connection set-up without credentials and reads the server's verdict.
bool handshake(int fd) {
    const unsigned char request[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request))
        return false;
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, 2000) != 1)
        return false;
    unsigned char status = 0;
    return ::recv(fd, &status, 1, 0) == 1 && status == 1;
}

} // namespace

bool answers(const QString& display) {
    static const QRegularExpression form(QStringLiteral("^(?:([^:]*)/)?([^:]*):(\\d+)(?:\\.\\d+)?$"));
    const QRegularExpressionMatch match = form.match(display);
    if (!match.hasMatch())
        return false;
    const QString host = match.captured(2);
    const int number = match.captured(3).toInt();
    int fd = -1;
    if (host.isEmpty() || host == QLatin1String("unix"))
        fd = connectUnix(QByteArrayLiteral("/tmp/.X11-unix/X") + QByteArray::number(number));
    else
        fd = connectTcp(host.toUtf8(), 6000 + number);
    if (fd < 0)
        return false;
    const bool ok = handshake(fd);
    ::close(fd);
    return ok;
}

bool granted() {
    const QString display = qEnvironmentVariable("DISPLAY");
    return !display.isEmpty() && answers(display);
}

} // namespace DisplayAccess
