#include "app/DisplayAccess.h"

#include "base/Logging.h"
#include "base/UniqueFd.h"

#include <QRegularExpression>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace DisplayAccess {

namespace {

// X11 servers listen on TCP port 6000 + display number.
constexpr int kTcpPortBase = 6000;
constexpr int kReplyTimeoutMs = 2000;

UniqueFd connectUnix(const QByteArray& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd || path.size() >= qsizetype(sizeof address.sun_path))
        return {};
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return {};
    return fd;
}

UniqueFd connectTcp(const QByteArray& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return {};
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
    for (addrinfo* at = found; at; at = at->ai_next) {
        UniqueFd fd(::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol));
        if (fd && ::connect(fd.get(), at->ai_addr, at->ai_addrlen) == 0)
            return fd;
    }
    return {};
}

// Sends the X11 connection set-up without credentials and reads the server's verdict.
bool handshake(int fd) {
    const unsigned char request[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request))
        return false;
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, kReplyTimeoutMs) != 1)
        return false;
    unsigned char status = 0;
    return ::recv(fd, &status, 1, 0) == 1 && status == 1;
}

UniqueFd connectDisplay(const QString& display) {
    static const QRegularExpression form(QStringLiteral("^(?:([^:]*)/)?([^:]*):(\\d+)(?:\\.\\d+)?$"));
    const QRegularExpressionMatch match = form.match(display);
    if (!match.hasMatch())
        return {};
    const QString host = match.captured(2);
    const int number = match.captured(3).toInt();
    return host.isEmpty() || host == QLatin1String("unix")
               ? connectUnix(QByteArrayLiteral("/tmp/.X11-unix/X") + QByteArray::number(number))
               : connectTcp(host.toUtf8(), kTcpPortBase + number);
}

} // namespace

bool reachable(const QString& display) {
    return bool(connectDisplay(display));
}

bool canShowWindows(const QStringList& arguments) {
#ifdef Q_OS_MACOS
    Q_UNUSED(arguments);
    return true;
#else
    // A platform chosen by the user (offscreen, wayland, vnc, ...) is the toolkit's to judge.
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || arguments.contains(QStringLiteral("-platform")) ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    const QString display = qEnvironmentVariable("DISPLAY");
    return !display.isEmpty() && reachable(display);
#endif
}

bool answers(const QString& display) {
    const UniqueFd fd = connectDisplay(display);
    if (!fd)
        return false;
    const bool ok = handshake(fd.get());
    qCDebug(lcApp) << "display" << display << (ok ? "accepts us" : "refuses us");
    return ok;
}

bool granted() {
    const QString display = qEnvironmentVariable("DISPLAY");
    return !display.isEmpty() && answers(display);
}

} // namespace DisplayAccess
