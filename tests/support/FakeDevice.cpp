#include "support/FakeDevice.h"

#include "wire/PropertyList.h"

#include <QEventLoop>
#include <QLocalSocket>
#include <QSslConfiguration>
#include <QSslKey>
#include <QUuid>
#include <QtEndian>

#include <fcntl.h>
#include <sys/socket.h>

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

namespace {

const QString kRequest = QStringLiteral("Request");
constexpr quint32 kMaxLockdownMessage = 1u << 24;

// Qt's TLS as the device speaks it: its own certificate from the pairing, and a client certificate
// that chains to the pairing's root required of the host.
QSslConfiguration deviceTls(const PairingCertificates& pairing) {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(pairing.deviceCertificate));
    tls.setPrivateKey(QSslKey(pairing.deviceKey, QSsl::Rsa));
    tls.setCaCertificates({QSslCertificate(pairing.rootCertificate)});
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    tls.setProtocol(QSsl::AnyProtocol);
    // Hosts that do not know the device's version speak TLS 1.0 to it.
    tls.setBackendConfigurationOption("MinProtocol", "TLSv1");
    tls.setBackendConfigurationOption("CipherString", "DEFAULT:@SECLEVEL=0");
    return tls;
}

bool encrypt(QSslSocket& socket) {
    socket.startServerEncryption();
    return socket.waitForEncrypted(10000);
}

std::optional<QByteArray> readExactly(QSslSocket& socket, qint64 count) {
    while (socket.bytesAvailable() < count)
        if (!socket.waitForReadyRead(60000))
            return std::nullopt;
    return socket.read(count);
}

bool writeAll(QSslSocket& socket, const QByteArray& bytes) {
    socket.write(bytes);
    while (socket.bytesToWrite() || socket.encryptedBytesToWrite())
        if (!socket.waitForBytesWritten(10000))
            return false;
    return true;
}

} // namespace

bool FakeDevice::accepts(std::uint16_t port) {
    std::lock_guard lock(m_stateLock);
    return port == kLockdownPort || m_servicePorts.count(port);
}

void FakeDevice::serve(std::uint16_t port, int fd) {
    // The loop first: it gives this thread the event dispatcher the sockets' notifiers need. Qt owns
    // what it is given; the descriptor itself stays usbmuxd's.
    QEventLoop loop;
    QSslSocket socket;
    if (!socket.setSocketDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, 0)))
        return;
    socket.setSslConfiguration(deviceTls(m_pairing));
    if (port == kLockdownPort)
        return serveLockdown(socket);
    // A service port takes one connection.
    std::unique_lock lock(m_stateLock);
    const auto opened = m_servicePorts.extract(port);
    lock.unlock();
    if (opened.empty() || (opened.mapped() && !encrypt(socket)))
        return;
    // Carries the stream between the host and a client of the simulator's service, buffered both
    // ways so that neither side ever waits on the other.
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return;
    service().adopt(UniqueFd{pair[1]});
    QLocalSocket plain;
    plain.setSocketDescriptor(pair[0]);
    QObject::connect(&socket, &QIODevice::readyRead, [&] { plain.write(socket.readAll()); });
    QObject::connect(&plain, &QIODevice::readyRead, [&] { socket.write(plain.readAll()); });
    QObject::connect(&socket, &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&plain, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
    plain.write(socket.readAll());
    if (socket.state() == QAbstractSocket::ConnectedState)
        loop.exec();
}

// Lockdown: 4-byte big-endian lengths and XML property lists, requests answered the way devices
// answer them, until the host hangs up (after a session, with its close_notify) or a handshake fails.
void FakeDevice::serveLockdown(QSslSocket& socket) {
    bool session = false;
    for (;;) {
        const std::optional<QByteArray> length = readExactly(socket, 4);
        const quint32 size = length ? qFromBigEndian<quint32>(length->constData()) : 0;
        const std::optional<QByteArray> body =
            size && size <= kMaxLockdownMessage ? readExactly(socket, size) : std::nullopt;
        const QVariantMap message =
            body ? PropertyList::decode(*body).value_or(QVariant()).toMap() : QVariantMap();
        const QString request = message.value(kRequest).toString();
        if (request.isEmpty())
            return;
        std::unique_lock lock(m_stateLock);
        m_requests.append(request);
        QVariantMap answer{{kRequest, request}};
        const QString hostID = request == QLatin1String("ValidatePair")
                                   ? message.value("PairRecord").toMap().value("HostID").toString()
                                   : message.value("HostID").toString();
        const QString key = message.value(QStringLiteral("Key")).toString();
        const bool startTls =
            request == QLatin1String("StartSession") && m_trusted && hostID == m_pairing.hostID;
        QVariantMap values{{"DeviceName", m_name},
                           {"UniqueDeviceID", m_udid},
                           {"DeviceClass", "iPhone"},
                           {"ProductType", "iPhone15,2"},
                           {"BuildVersion", "21F79"}};
        if (m_version)
            values.insert(QStringLiteral("ProductVersion"), *m_version);
        QString error;
        if (request == QLatin1String("QueryType")) {
            answer.insert(QStringLiteral("Type"), QStringLiteral("com.apple.mobile.lockdown"));
        } else if (request == QLatin1String("GetValue")) {
            if (values.contains(key))
                answer.insert(
                    QVariantMap{{QStringLiteral("Key"), key}, {QStringLiteral("Value"), values[key]}});
            else
                error = QStringLiteral("MissingValue");
        } else if (request == QLatin1String("ValidatePair") || request == QLatin1String("StartSession")) {
            if (!m_trusted || hostID != m_pairing.hostID)
                error = QStringLiteral("InvalidHostID");
            else if ((session = startTls))
                answer.insert(QVariantMap{{QStringLiteral("EnableSessionSSL"), true},
                                          {QStringLiteral("SessionID"),
                                           QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()}});
        } else if (request == QLatin1String("StopSession")) {
            session = false;
        } else if (request == QLatin1String("StartService")) {
            const QString name = message.value(QStringLiteral("Service")).toString();
            if (!session) {
                error = QStringLiteral("NoRunningSession");
            } else if (name != QLatin1String(kInspectorService) || !m_inspectorEnabled) {
                error = QStringLiteral("InvalidService");
            } else {
                m_servicePorts[m_nextPort] = m_serviceTls;
                answer.insert(QVariantMap{{QStringLiteral("Service"), name},
                                          {QStringLiteral("Port"), qint64(m_nextPort++)},
                                          {QStringLiteral("EnableServiceSSL"), m_serviceTls}});
            }
        } else {
            error = QStringLiteral("InvalidRequest");
        }
        lock.unlock();
        if (!error.isEmpty())
            answer.insert(QStringLiteral("Error"), error);
        // Lockdown frames are framed as the inspector service's are.
        const QByteArray reply = PropertyList::encodeXml(answer).value_or(QByteArray());
        if (!writeAll(socket, FakeInspectorService::frameBytes(reply)) || (startTls && !encrypt(socket)))
            return;
    }
}
