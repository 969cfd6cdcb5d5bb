#include "support/FakeDevice.h"

#include "support/FakeDeviceStream.h"
#include "wire/PropertyList.h"

#include <QUuid>
#include <QtEndian>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

using namespace std::chrono_literals;

namespace {

const QString kRequest = QStringLiteral("Request");
constexpr quint32 kMaxLockdownMessage = 1u << 24;

} // namespace

FakeDevice::FakeDevice(QString udid, QString name, PairingCertificates pairing)
    : m_udid(std::move(udid)), m_pairing(std::move(pairing)), m_name(std::move(name)) {
    start(); // service connections come through usbmuxd; the service's own socket stays unused
}

// Whoever serves the device (usbmuxd) stops before it goes.
FakeDevice::~FakeDevice() = default;

QStringList FakeDevice::lockdownRequests() const {
    std::lock_guard lock(m_stateLock);
    return m_requests;
}

int FakeDevice::sessionsStarted() const {
    std::lock_guard lock(m_stateLock);
    return int(m_requests.count(QStringLiteral("StartSession")));
}

std::optional<QVariant> FakeDevice::value(const QString& key) const {
    std::lock_guard lock(m_stateLock);
    if (key == QLatin1String("ProductVersion"))
        return m_version ? std::optional<QVariant>(*m_version) : std::nullopt;
    const QVariantMap values{{"DeviceName", m_name},
                             {"UniqueDeviceID", m_udid},
                             {"DeviceClass", "iPhone"},
                             {"ProductType", "iPhone15,2"},
                             {"BuildVersion", "21F79"}};
    return values.contains(key) ? std::optional(values.value(key)) : std::nullopt;
}

bool FakeDevice::trusts(const QString& hostID) const {
    std::lock_guard lock(m_stateLock);
    return m_trusted && hostID == m_pairing.hostID;
}

bool FakeDevice::accepts(std::uint16_t port) {
    std::lock_guard lock(m_stateLock);
    return port == kLockdownPort || m_servicePorts.count(port);
}

void FakeDevice::serve(std::uint16_t port, int fd) {
    FakeDeviceStream stream(fd);
    if (port == kLockdownPort)
        return serveLockdown(stream);
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
    if (!tls ||
        stream.startTls(m_pairing.deviceCertificate, m_pairing.deviceKey, {m_pairing.rootCertificate}))
        relay(stream);
}

// Carries the service stream between the host and a client of the simulator's service. Bytes are
// buffered both ways, so that neither side ever waits on the other: a TLS write that is retried
// may grow but never shrink, which OpenSSL allows with partial writes.
void FakeDevice::relay(FakeDeviceStream& host) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return;
    const UniqueFd plain{pair[0]};
    ::fcntl(plain.get(), F_SETFL, O_NONBLOCK);
    service().adopt(UniqueFd{pair[1]});
    QByteArray toPlain, toHost;
    char chunk[65536];
    for (;;) {
        bool moved = false;
        short hostEvents = 0, plainEvents = 0;
        if (toPlain.isEmpty()) {
            const qsizetype got = host.readSome(chunk, sizeof chunk);
            if (got < 0)
                return;
            toPlain.append(chunk, got);
            hostEvents |= got ? 0 : host.waitEvents();
        }
        // Whatever the service writes is taken at once, as a device's outbox would take it.
        for (ssize_t got = 1; got > 0;) {
            got = ::recv(plain.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                return; // the service hung up
            toHost.append(chunk, std::max<ssize_t>(got, 0));
        }
        plainEvents |= POLLIN;
        if (!toPlain.isEmpty()) {
            const ssize_t sent =
                ::send(plain.get(), toPlain.constData(), size_t(toPlain.size()), MSG_NOSIGNAL);
            moved |= sent > 0;
            toPlain.remove(0, std::max<ssize_t>(sent, 0));
            plainEvents |= toPlain.isEmpty() ? 0 : POLLOUT;
        }
        if (!toHost.isEmpty()) {
            const qsizetype sent = host.writeSome(toHost.constData(), std::size_t(toHost.size()));
            if (sent < 0)
                return;
            moved |= sent > 0;
            toHost.remove(0, sent);
            hostEvents |= toHost.isEmpty() ? 0 : host.waitEvents();
        }
        if (moved || host.hasBuffered())
            continue;
        pollfd fds[2] = {{host.fd(), hostEvents, 0}, {plain.get(), plainEvents, 0}};
        ::poll(fds, 2, 100);
    }
}

// Lockdown: 4-byte big-endian lengths and XML property lists, requests answered the way devices
// answer them, until the host hangs up or a handshake fails.
void FakeDevice::serveLockdown(FakeDeviceStream& stream) {
    std::optional<QString> session;
    for (;;) {
        bool startTls = false;
        const std::optional<QByteArray> length = stream.read(4, 60s);
        const quint32 size = length ? qFromBigEndian<quint32>(length->constData()) : 0;
        const std::optional<QByteArray> body =
            size && size <= kMaxLockdownMessage ? stream.read(size) : std::nullopt;
        const std::optional<QVariant> decoded = body ? PropertyList::decode(*body) : std::nullopt;
        if (!decoded || decoded->typeId() != QMetaType::QVariantMap)
            return;
        const QVariantMap message = decoded->toMap();
        const QString request = message.value(kRequest).toString();
        {
            std::lock_guard lock(m_stateLock);
            m_requests.append(request);
        }
        QVariantMap answer{{kRequest, request}};
        auto refuse = [&](const char* error) {
            answer.insert(QStringLiteral("Error"), QString::fromLatin1(error));
        };
        const QString hostID = request == QLatin1String("ValidatePair")
                                   ? message.value("PairRecord").toMap().value("HostID").toString()
                                   : message.value("HostID").toString();
        if (request == QLatin1String("QueryType")) {
            answer.insert(QStringLiteral("Type"), QStringLiteral("com.apple.mobile.lockdown"));
        } else if (request == QLatin1String("GetValue")) {
            const QString key = message.value(QStringLiteral("Key")).toString();
            if (const std::optional<QVariant> value = this->value(key))
                answer.insert(QVariantMap{{QStringLiteral("Key"), key}, {QStringLiteral("Value"), *value}});
            else
                refuse("MissingValue");
        } else if (request == QLatin1String("ValidatePair") || request == QLatin1String("StartSession")) {
            if (!trusts(hostID))
                refuse("InvalidHostID");
            else if ((startTls = request == QLatin1String("StartSession")))
                answer.insert(
                    QVariantMap{{QStringLiteral("EnableSessionSSL"), true},
                                {QStringLiteral("SessionID"),
                                 *(session = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())}});
        } else if (request == QLatin1String("StopSession")) {
            session.reset();
        } else if (request == QLatin1String("StartService")) {
            const QString name = message.value(QStringLiteral("Service")).toString();
            std::lock_guard lock(m_stateLock);
            if (!session) {
                refuse("NoRunningSession");
            } else if (name != QLatin1String(kInspectorService) || !m_inspectorEnabled) {
                refuse("InvalidService");
            } else {
                m_servicePorts[m_nextPort] = m_serviceTls;
                answer.insert(QVariantMap{{QStringLiteral("Service"), name},
                                          {QStringLiteral("Port"), qint64(m_nextPort++)},
                                          {QStringLiteral("EnableServiceSSL"), m_serviceTls}});
            }
        } else {
            refuse("InvalidRequest");
        }
        // Lockdown frames are framed as the inspector service's are.
        const QByteArray reply = PropertyList::encodeXml(answer).value_or(QByteArray());
        if (!stream.write(FakeInspectorService::frameBytes(reply)))
            return;
        if (startTls &&
            !stream.startTls(m_pairing.deviceCertificate, m_pairing.deviceKey, {m_pairing.rootCertificate}))
            return;
        if (request == QLatin1String("StopSession") && stream.isTls() && !stream.endTls())
            return;
    }
}
