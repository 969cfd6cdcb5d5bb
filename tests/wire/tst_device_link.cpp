// The device transport against a fake device behind a fake usbmuxd: opening through lockdown,
// the TLS service stream, large frames, concurrent reading and writing, and ending the stream by
// close() or by unplugging.
#include "support/FakeDevice.h"
#include "support/FakeInspectorService.h"
#include "support/FakeUsbmuxd.h"
#include "wire/DeviceTransport.h"
#include "wire/WIRSocket.h"

#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

#include <chrono>
#include <csignal>
#include <future>

using namespace std::chrono_literals;

namespace {

const QString kPhone = QStringLiteral("00008110-000A11112222801E");

QByteArray noise(qsizetype size, quint32 seed) {
    QByteArray bytes(size, '\0');
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

class TestDeviceLink : public QObject {
    Q_OBJECT

    PairingCertificates pairing;
    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<FakeUsbmuxd> usbmuxd;

private slots:
    void initTestCase() {
        std::signal(SIGPIPE, SIG_IGN);
        pairing = PairingCertificates::generate();
    }

    void init() {
        device = std::make_unique<FakeDevice>(kPhone, QStringLiteral("Phone"), pairing);
        usbmuxd = std::make_unique<FakeUsbmuxd>();
        QVERIFY(usbmuxd->start());
        qputenv("USBMUXD_SOCKET_ADDRESS", usbmuxd->address().toUtf8());
        usbmuxd->setPairRecord(kPhone, pairing.pairRecord());
        usbmuxd->plug(kPhone, device.get());
    }

    void cleanup() {
        usbmuxd.reset(); // serves the device: goes first
        device.reset();
    }

    void opensTheServiceOverTls_data() {
        QTest::addColumn<bool>("tls");
        QTest::newRow("service TLS") << true;
        QTest::newRow("plain service") << false;
    }
    // Both directions at full speed on one connection: every frame arrives whole and in order,
    // several megabytes in one among them, as a large console message or snapshot comes.
    void opensTheServiceOverTls() {
        QFETCH(bool, tls);
        device->setServiceTls(tls);
        auto transport = std::make_shared<DeviceTransport>(kPhone);
        QCOMPARE(transport->open(), std::nullopt);
        QCOMPARE(transport->isEncrypted(), tls);
        QVERIFY(transport->open() == std::nullopt); // opening again changes nothing
        QCOMPARE(device->sessionsStarted(), 1);
        // The lockdown session is over once the service runs.
        QVERIFY(device->lockdownRequests().endsWith(QStringLiteral("StopSession")));
        QVERIFY(device->waitUntil([&] { return device->serviceConnections() == 1; }));

        constexpr int kFrames = 300;
        auto body = [](int i) {
            return noise(i ? 1000 + (i * 7919) % 60000 : 6 * 1024 * 1024 + 3, quint32(i));
        };
        QByteArray incoming;
        for (int i = 0; i < kFrames; ++i)
            incoming += FakeInspectorService::frameBytes(body(i));
        QVERIFY(device->sendRaw(incoming));
        auto reader = std::async(std::launch::async, [&] {
            for (int i = 0; i < kFrames; ++i)
                if (const auto length = transport->receive(4);
                    !length || transport->receive(qFromBigEndian<quint32>(length->constData())) != body(i))
                    return i;
            return kFrames;
        });
        for (int i = 0; i < kFrames; ++i)
            QVERIFY(transport->send(*WIRSocket::encodeFrame(
                QStringLiteral("_rpc_reportIdentifier:"),
                {{QStringLiteral("WIRConnectionIdentifierKey"), QStringLiteral("HOST-%1").arg(i)},
                 {QStringLiteral("padding"), noise(20000, quint32(i))}})));
        QCOMPARE(reader.get(), kFrames);
        const QString last = QStringLiteral("HOST-%1").arg(kFrames - 1);
        QVERIFY(device->waitUntil([&] { return device->connectionID(device->servicePeer()) == last; }));
        QCOMPARE(device->framesReceived(), kFrames);
        transport->close();
    }

    // An untrusted device and one gone are refused in the two discovery suites.
    void openFailuresSayWhy() {
        device->setWebInspectorEnabled(false);
        QCOMPARE(DeviceTransport(kPhone).open(), WIRError::inspectorDisabled());
        device->setWebInspectorEnabled(true);

        usbmuxd->setPairRecord(kPhone, {});
        QCOMPARE(DeviceTransport(kPhone).open(), WIRError::pairingRequired());
        QCOMPARE(device->serviceConnections(), 0);
    }

    // A receive blocked on an idle link ends at once when the stream ends, either way; after that
    // nothing goes through.
    void endingWakesABlockedReceive() {
        // Closed, then unplugged.
        for (const bool unplug : {false, true}) {
            auto transport = std::make_shared<DeviceTransport>(kPhone);
            QCOMPARE(transport->open(), std::nullopt);
            QVERIFY(device->waitUntil([&] { return device->serviceConnections() == 1; }));
            auto pending = std::async(std::launch::async, [transport] { return transport->receive(4); });
            QCOMPARE(pending.wait_for(300ms), std::future_status::timeout);
            if (unplug)
                usbmuxd->unplug(kPhone);
            else
                transport->close();
            QCOMPARE(pending.wait_for(1s), std::future_status::ready);
            QCOMPARE(pending.get(), std::nullopt);
            QVERIFY(!transport->send(QByteArray(256 * 1024, 'x')));
            transport->close();
            QVERIFY(usbmuxd->waitUntil([&] { return device->serviceConnections() == 0; }));
        }
    }
};

QTEST_GUILESS_MAIN(TestDeviceLink)
#include "tst_device_link.moc"
