#include "support/FakeLockdown.h"

#include "support/FakeDevice.h"
#include "support/FakeDeviceStream.h"
#include "support/PlistXml.h"

#include <QUuid>
#include <QtEndian>

using namespace std::chrono_literals;

namespace {

const QString kRequest = QStringLiteral("Request");

} // namespace

FakeLockdown::FakeLockdown(FakeDevice& device, FakeDeviceStream& stream)
    : m_device(device), m_stream(stream) {}

bool FakeLockdown::answer(const QVariantMap& message) {
    const QByteArray body = PlistXml::encode(message);
    QByteArray frame(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    return m_stream.write(frame + body);
}

bool FakeLockdown::answerError(const QString& request, const QString& error) {
    return answer({{kRequest, request}, {QStringLiteral("Error"), error}});
}

void FakeLockdown::run() {
    for (;;) {
        const std::optional<QByteArray> length = m_stream.read(4, 60s);
        if (!length)
            return;
        const quint32 size = qFromBigEndian<quint32>(length->constData());
        if (size > (1u << 24))
            return;
        const std::optional<QByteArray> body = m_stream.read(size);
        if (!body)
            return;
        const std::optional<QVariantMap> message = PlistXml::decode(*body);
        if (!message)
            return;
        const QString request = message->value(kRequest).toString();
        m_device.noteRequest(request);

        if (request == QLatin1String("QueryType")) {
            if (!answer({{kRequest, request},
                         {QStringLiteral("Type"), QStringLiteral("com.apple.mobile.lockdown")}}))
                return;
        } else if (request == QLatin1String("GetValue")) {
            const QString key = message->value(QStringLiteral("Key")).toString();
            const std::optional<QVariant> value = m_device.value(key);
            const bool sent = value ? answer({{kRequest, request},
                                              {QStringLiteral("Key"), key},
                                              {QStringLiteral("Value"), *value}})
                                    : answerError(request, QStringLiteral("MissingValue"));
            if (!sent)
                return;
        } else if (request == QLatin1String("ValidatePair")) {
            const QString hostID = message->value(QStringLiteral("PairRecord"))
                                       .toMap()
                                       .value(QStringLiteral("HostID"))
                                       .toString();
            const bool sent = m_device.trustedRoot(hostID)
                                  ? answer({{kRequest, request}})
                                  : answerError(request, QStringLiteral("InvalidHostID"));
            if (!sent)
                return;
        } else if (request == QLatin1String("Pair")) {
            // New pairings wait for the user, who is not there.
            if (!answerError(request, QStringLiteral("PairingDialogResponsePending")))
                return;
        } else if (request == QLatin1String("StartSession")) {
            const QString hostID = message->value(QStringLiteral("HostID")).toString();
            const std::optional<QByteArray> root = m_device.trustedRoot(hostID);
            if (!root) {
                if (!answerError(request, QStringLiteral("InvalidHostID")))
                    return;
                continue;
            }
            m_session = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
            m_hostID = hostID;
            if (!answer({{kRequest, request},
                         {QStringLiteral("SessionID"), *m_session},
                         {QStringLiteral("EnableSessionSSL"), true}}))
                return;
            const PairingCertificates& pairing = m_device.pairing();
            if (!m_stream.startTls(pairing.deviceCertificate, pairing.deviceKey, {*root}))
                return;
        } else if (request == QLatin1String("StopSession")) {
            m_session.reset();
            if (!answer({{kRequest, request}}))
                return;
            if (m_stream.isTls() && !m_stream.endTls())
                return;
        } else if (request == QLatin1String("StartService")) {
            if (!m_session) {
                if (!answerError(request, QStringLiteral("NoRunningSession")))
                    return;
                continue;
            }
            const QString service = message->value(QStringLiteral("Service")).toString();
            bool tls = false;
            const std::optional<std::uint16_t> port = m_device.startService(service, &tls);
            const bool sent = port ? answer({{kRequest, request},
                                             {QStringLiteral("Service"), service},
                                             {QStringLiteral("Port"), qint64(*port)},
                                             {QStringLiteral("EnableServiceSSL"), tls}})
                                   : answerError(request, QStringLiteral("InvalidService"));
            if (!sent)
                return;
        } else if (request == QLatin1String("Goodbye")) {
            answer({{kRequest, request}, {QStringLiteral("Result"), QStringLiteral("Success")}});
            return;
        } else if (!answerError(request, QStringLiteral("InvalidRequest"))) {
            return;
        }
    }
}
