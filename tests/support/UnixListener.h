#pragma once

#include "base/UniqueFd.h"

#include <QDir>
#include <QUuid>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

// The listening side of the fakes' unix-socket servers. Without a path it picks one in a fresh
// folder under /tmp with a short name (socket addresses hold barely more than 100 bytes), and
// removes the folder when it goes.
class UnixListener {
public:
    UnixListener(QString path, const QString& name) : m_path(std::move(path)) {
        if (m_path.isEmpty()) {
            m_folder = QStringLiteral("/tmp/tv-") + QUuid::createUuid().toString(QUuid::Id128).left(12);
            QDir().mkpath(m_folder);
            m_path = m_folder + QLatin1Char('/') + name;
        }
    }
    ~UnixListener() {
        close();
        if (!m_folder.isEmpty())
            QDir(m_folder).removeRecursively();
    }

    // Listens at the path, in place of whatever was there.
    bool listen(int backlog) {
        const QByteArray bytes = m_path.toUtf8();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        m_fd = UniqueFd{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        if (!m_fd || bytes.size() >= qsizetype(sizeof address.sun_path))
            return false;
        ::unlink(bytes.constData());
        std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
        if (::bind(m_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd.get(), backlog) != 0)
            m_fd.reset();
        return bool(m_fd);
    }
    void close() {
        if (m_fd)
            ::unlink(m_path.toUtf8().constData());
        m_fd.reset();
    }
    const QString& path() const { return m_path; }
    int fd() const { return m_fd.get(); }

private:
    QString m_path;
    QString m_folder;
    UniqueFd m_fd;
};
