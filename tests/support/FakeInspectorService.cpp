#include "support/FakeInspectorService.h"

#include "wire/PropertyList.h"
#include "wire/WIRSocket.h"

#include <QDir>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

FakeInspectorService::FakeInspectorService(QString path) : m_path(std::move(path)) {
    if (m_path.isEmpty()) {
        // Short paths: unix socket addresses hold barely more than 100 bytes.
        m_tempDir = QStringLiteral("/tmp/tv-") + QUuid::createUuid().toString(QUuid::Id128).left(12);
        QDir().mkpath(m_tempDir);
        m_path = m_tempDir + QStringLiteral("/inspector.sock");
    }
}

FakeInspectorService::~FakeInspectorService() {
    stop();
    if (!m_tempDir.isEmpty())
        QDir(m_tempDir).removeRecursively();
}

bool FakeInspectorService::start() {
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        return false;
    ::unlink(m_path.toUtf8().constData());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = m_path.toUtf8();
    if (bytes.size() >= qsizetype(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 16) != 0)
        return false;
    if (::pipe2(m_wakeFds, O_CLOEXEC) != 0)
        return false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void FakeInspectorService::stop() {
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_lock);
            m_stopping = true;
        }
        const char byte = 0;
        (void)!::write(m_wakeFds[1], &byte, 1);
        m_thread.join();
    }
    std::lock_guard writeLock(m_writeLock);
    std::lock_guard lock(m_lock);
    for (Client& client : m_clients)
        ::close(client.fd);
    m_clients.clear();
    for (int& fd : m_wakeFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        ::unlink(m_path.toUtf8().constData());
        m_listenFd = -1;
    }
}

void FakeInspectorService::setHandler(Handler handler) {
    std::lock_guard lock(m_lock);
    m_handler = std::move(handler);
}

void FakeInspectorService::setClosedHandler(ClosedHandler handler) {
    std::lock_guard lock(m_lock);
    m_closedHandler = std::move(handler);
}

void FakeInspectorService::run() {
    std::vector<pollfd> fds;
    std::vector<int> ids;
    for (;;) {
        fds.clear();
        ids.clear();
        fds.push_back({m_wakeFds[0], POLLIN, 0});
        fds.push_back({m_listenFd, POLLIN, 0});
        {
            std::lock_guard lock(m_lock);
            if (m_stopping)
                return;
            for (const Client& client : m_clients) {
                fds.push_back({client.fd, POLLIN, 0});
                ids.push_back(client.id);
            }
        }
        if (::poll(fds.data(), fds.size(), 50) < 0 && errno != EINTR)
            return;
        if (fds[0].revents) {
            char drain[16];
            (void)!::read(m_wakeFds[0], drain, sizeof drain);
        }
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard lock(m_lock);
                m_clients.push_back({m_nextClientId++, fd, {}});
                ++m_connectedTotal;
                m_changed.notify_all();
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            const int id = ids[i - 2];
            char chunk[65536];
            const ssize_t got = ::recv(fds[i].fd, chunk, sizeof chunk, 0);
            if (got <= 0) {
                ClosedHandler closed;
                {
                    std::lock_guard writeLock(m_writeLock);
                    std::lock_guard lock(m_lock);
                    closeClientLocked(id);
                    closed = m_closedHandler;
                }
                if (closed)
                    closed(*this, id);
                continue;
            }
            std::vector<Frame> frames;
            {
                std::lock_guard lock(m_lock);
                auto it = std::find_if(m_clients.begin(), m_clients.end(),
                                       [id](const Client& c) { return c.id == id; });
                if (it == m_clients.end())
                    continue;
                it->buffer.append(chunk, got);
                for (;;) {
                    if (it->buffer.size() < 4)
                        break;
                    const quint32 length = qFromBigEndian<quint32>(it->buffer.constData());
                    if (it->buffer.size() < qsizetype(4 + length))
                        break;
                    const std::optional<QVariant> decoded =
                        PropertyList::decode(it->buffer.constData() + 4, length);
                    it->buffer.remove(0, 4 + length);
                    if (!decoded)
                        continue;
                    const QVariantMap message = decoded->toMap();
                    frames.push_back({message.value(QStringLiteral("__selector")).toString(),
                                      message.value(QStringLiteral("__argument")).toMap()});
                }
            }
            for (const Frame& frame : frames) {
                Handler handler;
                {
                    std::lock_guard lock(m_lock);
                    m_received.push_back(frame);
                    handler = m_handler;
                    m_changed.notify_all();
                }
                if (handler)
                    handler(*this, id, frame);
            }
        }
    }
}

void FakeInspectorService::closeClientLocked(int id) {
    auto it = std::find_if(m_clients.begin(), m_clients.end(), [id](const Client& c) { return c.id == id; });
    if (it == m_clients.end())
        return;
    ::close(it->fd);
    m_clients.erase(it);
    m_changed.notify_all();
}

int FakeInspectorService::resolveLocked(int client) const {
    if (client < 0)
        return m_clients.empty() ? -1 : m_clients.back().fd;
    for (const Client& c : m_clients)
        if (c.id == client)
            return c.fd;
    return -1;
}

bool FakeInspectorService::waitForClients(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_connectedTotal >= count; });
}

int FakeInspectorService::currentClient() const {
    std::lock_guard lock(m_lock);
    return m_clients.empty() ? -1 : m_clients.back().id;
}

int FakeInspectorService::clientCount() const {
    std::lock_guard lock(m_lock);
    return int(m_clients.size());
}

QByteArray FakeInspectorService::frameBytes(const QByteArray& body) {
    QByteArray frame(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    return frame + body;
}

QByteArray FakeInspectorService::encode(const QString& selector, const QVariantMap& argument) {
    return WIRSocket::encodeFrame(selector, argument).value_or(QByteArray());
}

bool FakeInspectorService::send(const QString& selector, const QVariantMap& argument, int client) {
    return sendRaw(encode(selector, argument), client);
}

bool FakeInspectorService::sendRaw(const QByteArray& bytes, int client) {
    std::lock_guard writeLock(m_writeLock);
    int fd;
    {
        std::lock_guard lock(m_lock);
        fd = resolveLocked(client);
    }
    if (fd < 0)
        return false;
    const char* next = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::send(fd, next, size_t(left), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        left -= written;
    }
    return true;
}

void FakeInspectorService::disconnect(int client) {
    std::lock_guard writeLock(m_writeLock);
    std::lock_guard lock(m_lock);
    const int fd = resolveLocked(client);
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR); // the service thread sees the end and closes it
}

std::vector<FakeInspectorService::Frame> FakeInspectorService::received() const {
    std::lock_guard lock(m_lock);
    return m_received;
}

std::vector<FakeInspectorService::Frame> FakeInspectorService::received(const QString& selector) const {
    std::lock_guard lock(m_lock);
    std::vector<Frame> matching;
    for (const Frame& frame : m_received)
        if (frame.selector == selector)
            matching.push_back(frame);
    return matching;
}

void FakeInspectorService::clearReceived() {
    std::lock_guard lock(m_lock);
    m_received.clear();
}

std::optional<FakeInspectorService::Frame>
FakeInspectorService::waitForFrame(const QString& selector, std::chrono::milliseconds timeout,
                                   const std::function<bool(const Frame&)>& predicate) {
    std::unique_lock lock(m_lock);
    std::optional<Frame> found;
    m_changed.wait_for(lock, timeout, [&] {
        for (const Frame& frame : m_received) {
            if (frame.selector == selector && (!predicate || predicate(frame))) {
                found = frame;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool FakeInspectorService::waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_received.size() >= count; });
}
