#pragma once

#include "base/UniqueFd.h"

#include <QDir>
#include <QUuid>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

// The listening side of the fakes' unix-socket servers.
namespace UnixListener {

// A fresh folder under /tmp with a short name: socket addresses hold barely more than 100 bytes.
inline QString freshFolder() {
    const QString folder = QStringLiteral("/tmp/tv-") + QUuid::createUuid().toString(QUuid::Id128).left(12);
    QDir().mkpath(folder);
    return folder;
}

// A socket listening at `path`, in place of whatever was there; invalid when that fails.
inline UniqueFd listen(const QString& path, int backlog) {
    UniqueFd fd{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    const QByteArray bytes = path.toUtf8();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd || bytes.size() >= qsizetype(sizeof address.sun_path))
        return {};
    ::unlink(bytes.constData());
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), backlog) != 0)
        return {};
    return fd;
}

} // namespace UnixListener
