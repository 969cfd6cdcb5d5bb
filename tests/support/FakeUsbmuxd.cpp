#include "support/FakeUsbmuxd.h"

#include "wire/PropertyList.h"

#include <algorithm>
#include <arpa/inet.h>
#include <sys/socket.h>

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

QVariantMap result(std::uint32_t number) {
    return {{QStringLiteral("MessageType"), QStringLiteral("Result")},
            {QStringLiteral("Number"), qint64(number)}};
}

} // namespace

FakeUsbmuxd::FakeUsbmuxd(QString path) : m_listener(std::move(path), QStringLiteral("usbmuxd")) {}

FakeUsbmuxd::~FakeUsbmuxd() {
    stop();
}

bool FakeUsbmuxd::start() {
    if (!m_listener.listen(64))
        return false;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void FakeUsbmuxd::stop() {
    if (!m_acceptThread.joinable())
        return;
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
        for (const auto& client : m_clients)
            ::shutdown(client->fd.get(), SHUT_RDWR);
        ::shutdown(m_listener.fd(), SHUT_RDWR); // ends the wait in accept
    }
    // No client comes or goes once the accepting thread has ended.
    m_acceptThread.join();
    for (const auto& client : m_clients)
        client->thread.join();
    m_clients.clear();
    m_listener.close();
}

void FakeUsbmuxd::acceptLoop() {
    for (;;) {
        UniqueFd fd{::accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC)};
        std::lock_guard lock(m_lock);
        if (m_stopping)
            return;
        if (!fd)
            continue;
        auto client = std::make_shared<Client>();
        client->fd = std::move(fd);
        m_clients.push_back(client);
        client->thread = std::thread([this, client] { serveClient(client); });
    }
}

void FakeUsbmuxd::serveClient(std::shared_ptr<Client> client) {
    const int fd = client->fd.get();
    for (Header header; ::recv(fd, &header, sizeof header, MSG_WAITALL) == sizeof header &&
                        header.length >= sizeof header;) {
        QByteArray payload(qsizetype(header.length - sizeof header), Qt::Uninitialized);
        if (::recv(fd, payload.data(), std::size_t(payload.size()), MSG_WAITALL) != payload.size())
            break;
        const QVariantMap request = header.message == kPlistMessage && header.version == 1
                                        ? PropertyList::decode(payload).value_or(QVariant()).toMap()
                                        : QVariantMap();
        const QString type = request.value(QStringLiteral("MessageType")).toString();
        const QString recordID = request.value(QStringLiteral("PairRecordID")).toString();
        std::unique_lock lock(m_lock);
        QVariantMap answer = result(kResultBadCommand);
        if (type == QLatin1String("Connect")) {
            const std::uint32_t id = std::uint32_t(request.value(QStringLiteral("DeviceID")).toLongLong());
            const std::uint16_t port =
                ntohs(std::uint16_t(request.value(QStringLiteral("PortNumber")).toLongLong()));
            const auto entry = std::ranges::find(m_entries, id, &Entry::id);
            Target* target = entry == m_entries.end() ? nullptr : entry->target;
            // Belongs to the device from here on, so that unplugging it hangs up.
            client->device = target ? id : 0;
            lock.unlock();
            const bool accepted = target && target->accepts(port);
            const std::uint32_t number = entry == m_entries.end() ? kResultBadDevice
                                         : accepted               ? kResultOK
                                                                  : kResultConnectionRefused;
            if (!reply(*client, header.tag, result(number)))
                break;
            if (!accepted) {
                client->device = 0;
                continue;
            }
            // From here on the stream belongs to the device.
            target->serve(port, fd);
            ::shutdown(fd, SHUT_RDWR);
            break;
        }
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
        lock.unlock();
        reply(*client, header.tag, answer);
    }
    // The thread is joined when usbmuxd stops.
    std::lock_guard lock(m_lock);
    client->device = 0;
    client->fd.reset();
}

bool FakeUsbmuxd::reply(Client& client, std::uint32_t tag, const QVariantMap& message) {
    const QByteArray body = PropertyList::encodeXml(message).value_or(QByteArray());
    Header header{std::uint32_t(sizeof(Header) + std::size_t(body.size())), 1, kPlistMessage, tag};
    // Blocking sends write everything or fail.
    const QByteArray bytes = QByteArray(reinterpret_cast<const char*>(&header), sizeof header) + body;
    return ::send(client.fd.get(), bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL) ==
           bytes.size();
}

QVariantMap FakeUsbmuxd::attachedLocked(const Entry& entry) const {
    QVariantMap properties{{QStringLiteral("DeviceID"), qint64(entry.id)},
                           {QStringLiteral("SerialNumber"), entry.udid},
                           {QStringLiteral("ConnectionType"), QStringLiteral("USB")}};
    if (entry.link == Link::network) {
        // A BSD sockaddr_in: length, family, port, address.
        QByteArray address = QByteArray::fromHex("10020000c0a80100") + QByteArray(8, '\0');
        address[7] = char(20 + entry.id);
        properties.insert(QStringLiteral("ConnectionType"), QStringLiteral("Network"));
        properties.insert(QStringLiteral("NetworkAddress"), address);
    }
    return {{QStringLiteral("MessageType"), QStringLiteral("Attached")},
            {QStringLiteral("DeviceID"), qint64(entry.id)},
            {QStringLiteral("Properties"), properties}};
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
