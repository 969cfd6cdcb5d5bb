#include "support/FakeUsbmuxd.h"

#include "support/UnixListener.h"
#include "wire/PropertyList.h"

#include <QDir>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kPlistMessage = 8;
constexpr std::uint32_t kResultOK = 0;
constexpr std::uint32_t kResultBadCommand = 1;
constexpr std::uint32_t kResultBadDevice = 2;
constexpr std::uint32_t kResultConnectionRefused = 3;

struct Header {
    std::uint32_t length;
    std::uint32_t version;
    std::uint32_t message;
    std::uint32_t tag;
};

// Moves `count` bytes with `step` (a recv or a send from an offset); false at the end or on error.
template <typename Step> bool moveAll(std::size_t count, Step step) {
    for (std::size_t done = 0; done < count;) {
        const ssize_t moved = step(done);
        if (moved <= 0 && !(moved < 0 && errno == EINTR))
            return false;
        done += std::size_t(std::max<ssize_t>(moved, 0));
    }
    return true;
}

bool readAll(int fd, char* into, std::size_t count) {
    return moveAll(count, [&](std::size_t done) { return ::recv(fd, into + done, count - done, 0); });
}

bool writeAll(int fd, const char* from, std::size_t count) {
    return moveAll(count,
                   [&](std::size_t done) { return ::send(fd, from + done, count - done, MSG_NOSIGNAL); });
}

QVariantMap result(std::uint32_t number) {
    return {{QStringLiteral("MessageType"), QStringLiteral("Result")},
            {QStringLiteral("Number"), qint64(number)}};
}

} // namespace

FakeUsbmuxd::FakeUsbmuxd(QString path) : m_path(std::move(path)) {
    if (m_path.isEmpty()) {
        m_tempDir = UnixListener::freshFolder();
        m_path = m_tempDir + QStringLiteral("/usbmuxd");
    }
}

FakeUsbmuxd::~FakeUsbmuxd() {
    stop();
    if (!m_tempDir.isEmpty())
        QDir(m_tempDir).removeRecursively();
}

bool FakeUsbmuxd::start() {
    m_listen = UnixListener::listen(m_path, 64);
    if (!m_listen)
        return false;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void FakeUsbmuxd::stop() {
    if (!m_acceptThread.joinable())
        return;
    std::vector<std::shared_ptr<Client>> clients;
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
        clients = m_clients;
        for (const auto& client : clients)
            ::shutdown(client->fd.get(), SHUT_RDWR);
        ::shutdown(m_listen.get(), SHUT_RDWR); // ends the wait in accept
    }
    m_acceptThread.join();
    for (const auto& client : clients)
        if (client->thread.joinable())
            client->thread.join();
    std::lock_guard lock(m_lock);
    m_clients.clear();
    m_listen.reset();
    ::unlink(m_path.toUtf8().constData());
}

void FakeUsbmuxd::acceptLoop() {
    for (;;) {
        UniqueFd fd{::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC)};
        std::lock_guard lock(m_lock);
        if (m_stopping)
            return;
        if (!fd)
            continue;
        reapLocked();
        auto client = std::make_shared<Client>();
        client->fd = std::move(fd);
        m_clients.push_back(client);
        client->thread = std::thread([this, client] { serveClient(client); });
    }
}

// Joins the threads of connections that have ended.
void FakeUsbmuxd::reapLocked() {
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = m_clients.erase(it);
        } else {
            ++it;
        }
    }
}

void FakeUsbmuxd::serveClient(std::shared_ptr<Client> client) {
    for (;;) {
        Header header;
        if (!readAll(client->fd.get(), reinterpret_cast<char*>(&header), sizeof header) ||
            header.length < sizeof header)
            break;
        QByteArray payload(qsizetype(header.length - sizeof header), Qt::Uninitialized);
        if (!readAll(client->fd.get(), payload.data(), std::size_t(payload.size())))
            break;
        const QVariantMap request = header.message == kPlistMessage && header.version == 1
                                        ? PropertyList::decode(payload).value_or(QVariant()).toMap()
                                        : QVariantMap();
        const QString type = request.value(QStringLiteral("MessageType")).toString();
        const QString recordID = request.value(QStringLiteral("PairRecordID")).toString();
        if (type == QLatin1String("Connect")) {
            const std::uint32_t id = std::uint32_t(request.value(QStringLiteral("DeviceID")).toLongLong());
            const std::uint16_t port =
                ntohs(std::uint16_t(request.value(QStringLiteral("PortNumber")).toLongLong()));
            std::optional<Target*> target; // nothing: no such device
            {
                std::lock_guard lock(m_lock);
                for (const Entry& entry : m_entries)
                    if (entry.id == id)
                        target = entry.target;
                client->device = target && *target ? id : 0;
            }
            const bool accepted = target && *target && (*target)->accepts(port);
            if (!accepted) {
                std::lock_guard lock(m_lock);
                client->device = 0;
            }
            const std::uint32_t number = !target    ? kResultBadDevice
                                         : accepted ? kResultOK
                                                    : kResultConnectionRefused;
            if (!reply(*client, header.tag, result(number)))
                break;
            if (!accepted)
                continue;
            {
                std::lock_guard lock(m_lock);
                m_changed.notify_all();
            }
            // From here on the stream belongs to the device.
            (*target)->serve(port, client->fd.get());
            ::shutdown(client->fd.get(), SHUT_RDWR);
            break;
        }
        QVariantMap answer = result(kResultBadCommand);
        {
            std::lock_guard lock(m_lock);
            if (type == QLatin1String("ListDevices")) {
                QVariantList list;
                for (const Entry& entry : m_entries)
                    list.append(attachedLocked(entry));
                answer = {{QStringLiteral("DeviceList"), list}};
            } else if (type == QLatin1String("ReadPairRecord")) {
                answer = m_pairRecords.contains(recordID)
                             ? QVariantMap{{QStringLiteral("PairRecordData"), m_pairRecords.value(recordID)}}
                             : result(kResultBadDevice);
            } else if (type == QLatin1String("ReadBUID")) {
                answer = {{QStringLiteral("BUID"), m_buid}};
            }
        }
        reply(*client, header.tag, answer);
    }
    std::lock_guard lock(m_lock);
    client->device = 0;
    client->done = true;
    m_changed.notify_all();
}

bool FakeUsbmuxd::reply(Client& client, std::uint32_t tag, const QVariantMap& message) {
    const QByteArray body = PropertyList::encodeXml(message).value_or(QByteArray());
    Header header{std::uint32_t(sizeof(Header) + std::size_t(body.size())), 1, kPlistMessage, tag};
    std::lock_guard lock(client.writeLock);
    return writeAll(client.fd.get(), reinterpret_cast<const char*>(&header), sizeof header) &&
           writeAll(client.fd.get(), body.constData(), std::size_t(body.size()));
}

QVariantMap FakeUsbmuxd::attachedLocked(const Entry& entry) const {
    return {{QStringLiteral("MessageType"), QStringLiteral("Attached")},
            {QStringLiteral("DeviceID"), qint64(entry.id)},
            {QStringLiteral("Properties"), propertiesLocked(entry)}};
}

QVariantMap FakeUsbmuxd::propertiesLocked(const Entry& entry) const {
    QVariantMap properties{{QStringLiteral("DeviceID"), qint64(entry.id)},
                           {QStringLiteral("SerialNumber"), entry.udid}};
    if (entry.link == Link::usb) {
        properties.insert(QStringLiteral("ConnectionType"), QStringLiteral("USB"));
        properties.insert(QStringLiteral("ConnectionSpeed"), qint64(480000000));
        properties.insert(QStringLiteral("LocationID"), qint64(0x14100000 + entry.id));
        properties.insert(QStringLiteral("ProductID"), qint64(0x12a8));
        properties.insert(QStringLiteral("USBSerialNumber"), QString(entry.udid).remove(QLatin1Char('-')));
    } else {
        // A BSD sockaddr_in: length, family, port, address.
        QByteArray address = QByteArray::fromHex("10020000c0a80100") + QByteArray(8, '\0');
        address[7] = char(20 + entry.id);
        properties.insert(QStringLiteral("ConnectionType"), QStringLiteral("Network"));
        properties.insert(QStringLiteral("NetworkAddress"), address);
        properties.insert(QStringLiteral("EscapedFullServiceName"),
                          QStringLiteral("02:00:00:00:00:01@fe80::1._apple-mobdev2._tcp.local."));
    }
    return properties;
}

std::uint32_t FakeUsbmuxd::plug(const QString& udid, Target* target, Link link) {
    std::lock_guard lock(m_lock);
    m_entries.push_back({m_nextDeviceID, udid, link, target});
    return m_nextDeviceID++;
}

void FakeUsbmuxd::unplug(const QString& udid) {
    std::lock_guard lock(m_lock);
    for (const Entry& entry : m_entries)
        for (const auto& client : m_clients)
            if (entry.udid == udid && client->device == entry.id)
                ::shutdown(client->fd.get(), SHUT_RDWR);
    std::erase_if(m_entries, [&](const Entry& entry) { return entry.udid == udid; });
}

void FakeUsbmuxd::setPairRecord(const QString& udid, const QByteArray& record) {
    std::lock_guard lock(m_lock);
    if (record.isEmpty())
        m_pairRecords.remove(udid);
    else
        m_pairRecords.insert(udid, record);
}

bool FakeUsbmuxd::waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
}
