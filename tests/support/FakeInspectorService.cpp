#include "support/FakeInspectorService.h"

#include "wire/PropertyList.h"
#include "wire/WIRSocket.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

FakeInspectorService::FakeInspectorService(QString path)
    : m_listener(std::move(path), QStringLiteral("inspector.sock")) {}

FakeInspectorService::~FakeInspectorService() {
    stop();
}

bool FakeInspectorService::start() {
    if (!m_listener.listen(16))
        return false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void FakeInspectorService::stop() {
    if (m_thread.joinable()) {
        m_stopping = true;
        m_thread.join();
    }
    std::lock_guard lock(m_lock);
    m_clients.clear();
    m_listener.close();
}

void FakeInspectorService::setHandler(Handler handler) {
    std::lock_guard lock(m_lock);
    m_handler = std::move(handler);
}

int FakeInspectorService::adopt(UniqueFd stream) {
    std::lock_guard lock(m_lock);
    m_clients[m_nextClientId] = {std::make_shared<Stream>(std::move(stream)), {}};
    ++m_connectedTotal;
    m_changed.notify_all();
    return m_nextClientId++;
}

void FakeInspectorService::run() {
    std::vector<pollfd> fds;
    std::vector<int> ids;
    for (;;) {
        fds = {{m_listener.fd(), POLLIN, 0}};
        ids.clear();
        {
            std::lock_guard lock(m_lock);
            if (m_stopping)
                return;
            for (const auto& [id, client] : m_clients) {
                fds.push_back({client.stream->fd.get(), POLLIN, 0});
                ids.push_back(id);
            }
        }
        // A short wait: stop() and adopted streams are noticed within it.
        if (::poll(fds.data(), fds.size(), 10) < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            if (UniqueFd fd{::accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC)})
                adopt(std::move(fd));
        for (size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents)
                readFrom(ids[i - 1], fds[i].fd);
    }
}

// Reads what the client sent; every whole frame goes to the record and the handler.
void FakeInspectorService::readFrom(int id, int fd) {
    char chunk[65536];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) {
        Handler handler;
        {
            std::lock_guard lock(m_lock);
            m_clients.erase(id);
            m_changed.notify_all();
            handler = m_handler;
        }
        if (handler)
            handler(id, nullptr);
        return;
    }
    std::vector<Frame> frames;
    Handler handler;
    {
        std::lock_guard lock(m_lock);
        const auto found = m_clients.find(id);
        if (found == m_clients.end())
            return;
        QByteArray& buffer = found->second.buffer;
        buffer.append(chunk, got);
        while (buffer.size() >= 4) {
            const quint32 length = qFromBigEndian<quint32>(buffer.constData());
            if (buffer.size() < qsizetype(4 + length))
                break;
            const std::optional<QVariant> decoded = PropertyList::decode(buffer.constData() + 4, length);
            buffer.remove(0, 4 + length);
            if (!decoded)
                continue;
            const QVariantMap message = decoded->toMap();
            frames.push_back({message.value(QStringLiteral("__selector")).toString(),
                              message.value(QStringLiteral("__argument")).toMap()});
            m_received.push_back(frames.back());
        }
        handler = m_handler;
        m_changed.notify_all();
    }
    if (handler)
        for (const Frame& frame : frames)
            handler(id, &frame);
}

std::shared_ptr<FakeInspectorService::Stream> FakeInspectorService::resolveLocked(int client) const {
    if (m_clients.empty())
        return {};
    const auto it = client < 0 ? std::prev(m_clients.end()) : m_clients.find(client);
    return it == m_clients.end() ? nullptr : it->second.stream;
}

bool FakeInspectorService::waitForClients(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_connectedTotal >= count; });
}

int FakeInspectorService::currentClient() const {
    std::lock_guard lock(m_lock);
    return m_clients.empty() ? -1 : m_clients.rbegin()->first;
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
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard lock(m_lock);
        stream = resolveLocked(client);
    }
    if (!stream)
        return false;
    // Client sockets block: a send writes everything or fails.
    std::lock_guard writing(stream->writing);
    return ::send(stream->fd.get(), bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

void FakeInspectorService::disconnect(int client) {
    std::lock_guard lock(m_lock);
    if (const auto stream = resolveLocked(client))
        ::shutdown(stream->fd.get(), SHUT_RDWR); // the service thread sees the end and closes it
}

std::vector<FakeInspectorService::Frame> FakeInspectorService::received() const {
    std::lock_guard lock(m_lock);
    return m_received;
}

std::vector<FakeInspectorService::Frame> FakeInspectorService::received(const QString& selector) const {
    std::vector<Frame> matching = received();
    std::erase_if(matching, [&](const Frame& frame) { return frame.selector != selector; });
    return matching;
}
