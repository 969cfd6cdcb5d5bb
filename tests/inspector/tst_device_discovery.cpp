// Finding USB devices through a fake usbmuxd with real libimobiledevice: listing, the lockdown
// handshake with its TLS session, and the values read from lockdown.
#include "inspector/PhysicalDevices.h"
#include "support/FakeDevice.h"
#include "support/FakeUsbmuxd.h"

#include <QTest>

#include <csignal>

namespace {

const QString kPhone = QStringLiteral("00008110-000A11112222801E");
const QString kPad = QStringLiteral("00008027-000B33334444002E");
const QString kRemote = QStringLiteral("00008030-000C55556666003E");
constexpr auto kDevice = InspectableDevice::Kind::device;

} // namespace

class TestDeviceDiscovery : public QObject {
    Q_OBJECT

    PairingCertificates pairing;

private slots:
    void initTestCase() {
        std::signal(SIGPIPE, SIG_IGN);
        pairing = PairingCertificates::generate();
    }

    void listsUsbDevicesByName() {
        FakeDevice phone(kPhone, QStringLiteral("Zoe's iPhone"), pairing);
        phone.setProductVersion(std::nullopt);
        FakeDevice pad(kPad, QStringLiteral("Ada's iPad"), pairing);
        pad.setProductVersion(QStringLiteral("16.7.2"));
        pad.setTrusted(false);
        FakeDevice remote(kRemote, QStringLiteral("Desk iPhone"), pairing);
        FakeUsbmuxd usbmuxd;
        QVERIFY(usbmuxd.start());
        qputenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.address().toUtf8());
        for (const QString& udid : {kPhone, kPad, kRemote})
            usbmuxd.setPairRecord(udid, pairing.pairRecord());
        usbmuxd.plug(kPhone, &phone);
        // Seen over the network only: never listed, even though it would answer.
        usbmuxd.plug(kRemote, &remote, FakeUsbmuxd::Link::network);
        usbmuxd.plug(kPad, &pad);
        // Attached, but its lockdown does not answer.
        usbmuxd.plug(QStringLiteral("00008030-000D77778888004E"), nullptr);

        // A version that cannot be read gives "device"; a device that refuses the session is still
        // listed with what it tells without one.
        QCOMPARE(PhysicalDevices::attached(),
                 (QList<InspectableDevice>{{kPad, "Ada's iPad", "iOS 16.7.2", kDevice, {}},
                                           {kPhone, "Zoe's iPhone", "device", kDevice, {}}}));
        // Each was described in a session of its own, and nobody talked to the network entry.
        QCOMPARE(phone.sessionsStarted(), 1);
        QCOMPARE(phone.lockdownRequests().count(QStringLiteral("StopSession")), 1);
        QVERIFY(pad.lockdownRequests().contains(QStringLiteral("StartSession")));
        QVERIFY(remote.lockdownRequests().isEmpty());

        // Without a pair record, the same.
        usbmuxd.setPairRecord(kPhone, {});
        phone.setName(QStringLiteral("Zoe 2"));
        QCOMPARE(PhysicalDevices::describe(kPhone)->name, QStringLiteral("Zoe 2"));
        QVERIFY(!PhysicalDevices::describe(QStringLiteral("00008030-000D77778888004E")));
    }
};

QTEST_GUILESS_MAIN(TestDeviceDiscovery)
#include "tst_device_discovery.moc"
