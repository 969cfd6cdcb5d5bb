#include "support/FakeDevice.h"

#include "wire/PropertyList.h"
#include "support/FakeDeviceStream.h"
#include "support/FakeInspectorService.h"
#include "support/FakeLockdown.h"

#include <QtEndian>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// One open connection to the inspector service, as seen by the threads that write to it.
struct FakeDevice::Peer {
    int fd = -1;
    int wake[2] = {-1, -1};
    std::mutex lock;
    QByteArray outbox;
};

FakeDevice::FakeDevice(QString udid, QString name, PairingCertificates pairing)
    : m_udid(std::move(udid)), m_pairing(std::move(pairing)), m_name(std::move(name)) {
    setOutlet([this](int peer, const QString& selector, const QVariantMap& argument) {
        enqueue(peer, FakeInspectorService::encode(selector, argument));
    });
}

FakeDevice::~FakeDevice() {
    // Whoever serves the device (usbmuxd) stops before it goes.
    setOutlet({});
}

void FakeDevice::setName(const QString& name) {
    std::lock_guard lock(m_stateLock);
    m_name = name;
}

void FakeDevice::setProductVersion(std::optional<QString> version) {
    std::lock_guard lock(m_stateLock);
    m_version = std::move(version);
}

void FakeDevice::setTrusted(bool trusted) {
    std::lock_guard lock(m_stateLock);
    m_trusted = trusted;
}

void FakeDevice::setWebInspectorEnabled(bool enabled) {
    std::lock_guard lock(m_stateLock);
    m_inspectorEnabled = enabled;
}

void FakeDevice::setServiceTls(bool on) {
    std::lock_guard lock(m_stateLock);
    m_serviceTls = on;
}

std::optional<QVariant> FakeDevice::value(const QString& key) const {
    std::lock_guard lock(m_stateLock);
    if (key == QLatin1String("DeviceName"))
        return m_name;
    if (key == QLatin1String("ProductVersion"))
        return m_version ? std::optional<QVariant>(*m_version) : std::nullopt;
    if (key == QLatin1String("UniqueDeviceID"))
        return m_udid;
    if (key == QLatin1String("DeviceClass"))
        return QStringLiteral("iPhone");
    if (key == QLatin1String("ProductType"))
        return QStringLiteral("iPhone15,2");
    if (key == QLatin1String("BuildVersion"))
        return QStringLiteral("21F79");
    return std::nullopt;
}

std::optional<QByteArray> FakeDevice::trustedRoot(const QString& hostID) const {
    std::lock_guard lock(m_stateLock);
    if (!m_trusted || hostID != m_pairing.hostID)
        return std::nullopt;
    return m_pairing.rootCertificate;
}

std::optional<std::uint16_t> FakeDevice::startService(const QString& name, bool* tls) {
    std::lock_guard lock(m_stateLock);
    if (name != QLatin1String(kInspectorService) || !m_inspectorEnabled)
        return std::nullopt;
    const std::uint16_t port = m_nextPort++;
    m_servicePorts[port] = m_serviceTls;
    *tls = m_serviceTls;
    return port;
}

void FakeDevice::noteRequest(const QString& request) {
    std::lock_guard lock(m_stateLock);
    m_requests.append(request);
    if (request == QLatin1String("StartSession"))
        ++m_sessions;
}

QStringList FakeDevice::lockdownRequests() const {
    std::lock_guard lock(m_stateLock);
    return m_requests;
}

int FakeDevice::sessionsStarted() const {
    std::lock_guard lock(m_stateLock);
    return m_sessions;
}

bool FakeDevice::accepts(std::uint16_t port) {
    std::lock_guard lock(m_stateLock);
    return port == kLockdownPort || m_servicePorts.count(port);
}

void FakeDevice::serve(std::uint16_t port, int fd) {
    if (port == kLockdownPort) {
        FakeDeviceStream stream(fd);
        FakeLockdown(*this, stream).run();
        return;
    }
    bool tls;
    {
        // A service port takes one connection.
        std::lock_guard lock(m_stateLock);
        const auto it = m_servicePorts.find(port);
        if (it == m_servicePorts.end())
            return;
        tls = it->second;
        m_servicePorts.erase(it);
    }
    serveInspector(fd, tls);
}

void FakeDevice::serveInspector(int fd, bool tls) {
    FakeDeviceStream stream(fd);
    if (tls &&
        !stream.startTls(m_pairing.deviceCertificate, m_pairing.deviceKey, {m_pairing.rootCertificate}))
        return;
    auto peer = std::make_shared<Peer>();
    peer->fd = fd;
    if (::pipe2(peer->wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    int id;
    {
        std::lock_guard lock(m_stateLock);
        id = m_nextPeer++;
        m_peers[id] = peer;
    }

    QByteArray input;
    QByteArray sending;
    qsizetype sent = 0;
    std::vector<char> chunk(1 << 16);
    bool open = true;
    while (open) {
        // Everything that can be read now, then every whole frame in it.
        for (;;) {
            const qsizetype got = stream.readSome(chunk.data(), chunk.size());
            if (got < 0) {
                open = false;
                break;
            }
            if (got == 0)
                break;
            input.append(chunk.data(), got);
        }
        qsizetype at = 0;
        while (input.size() - at >= 4) {
            const quint32 length = qFromBigEndian<quint32>(input.constData() + at);
            if (input.size() - at - 4 < qsizetype(length))
                break;
            const std::optional<QVariant> decoded = PropertyList::decode(input.constData() + at + 4, length);
            at += 4 + qsizetype(length);
            {
                std::lock_guard lock(m_stateLock);
                ++m_frames;
            }
            if (!decoded)
                continue;
            const QVariantMap message = decoded->toMap();
            receive(id, message.value(QStringLiteral("__selector")).toString(),
                    message.value(QStringLiteral("__argument")).toMap());
        }
        input.remove(0, at);
        const short readEvents = stream.waitEvents();

        // Then as much of the outbox as the stream takes.
        if (sent == sending.size()) {
            std::lock_guard lock(peer->lock);
            sending = std::exchange(peer->outbox, QByteArray());
            sent = 0;
        }
        short writeEvents = 0;
        while (open && sent < sending.size()) {
            const qsizetype wrote =
                stream.writeSome(sending.constData() + sent, std::size_t(sending.size() - sent));
            if (wrote < 0)
                open = false;
            else if (wrote == 0)
                writeEvents = stream.waitEvents();
            if (wrote <= 0)
                break;
            sent += wrote;
        }
        if (!open)
            break;
        if (stream.hasBuffered())
            continue;
        pollfd fds[2] = {{fd, short(readEvents | writeEvents), 0}, {peer->wake[0], POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR)
            break;
        if (fds[1].revents) {
            char drain[64];
            while (::read(peer->wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & (POLLERR | POLLNVAL))
            break;
    }

    {
        std::lock_guard lock(m_stateLock);
        m_peers.erase(id);
    }
    {
        std::lock_guard lock(peer->lock);
        ::close(peer->wake[0]);
        ::close(peer->wake[1]);
        peer->wake[0] = peer->wake[1] = -1;
    }
    peerGone(id);
}

void FakeDevice::enqueue(int peerID, const QByteArray& bytes) {
    std::shared_ptr<Peer> peer;
    {
        std::lock_guard lock(m_stateLock);
        const auto it = m_peers.find(peerID);
        if (it == m_peers.end())
            return;
        peer = it->second;
    }
    std::lock_guard lock(peer->lock);
    if (peer->wake[1] < 0)
        return;
    peer->outbox.append(bytes);
    const char byte = 1;
    (void)!::write(peer->wake[1], &byte, 1);
}

int FakeDevice::serviceConnections() const {
    std::lock_guard lock(m_stateLock);
    return int(m_peers.size());
}

int FakeDevice::servicePeer() const {
    std::lock_guard lock(m_stateLock);
    return m_peers.empty() ? -1 : m_peers.rbegin()->first;
}

qint64 FakeDevice::framesReceived() const {
    std::lock_guard lock(m_stateLock);
    return m_frames;
}

bool FakeDevice::sendRaw(const QByteArray& bytes, int peer) {
    if (peer < 0)
        peer = servicePeer();
    if (peer < 0)
        return false;
    enqueue(peer, bytes);
    return true;
}

void FakeDevice::hangUp(int peerID) {
    std::lock_guard lock(m_stateLock);
    const auto it =
        peerID < 0 ? (m_peers.empty() ? m_peers.end() : std::prev(m_peers.end())) : m_peers.find(peerID);
    if (it != m_peers.end())
        ::shutdown(it->second->fd, SHUT_RDWR);
}
