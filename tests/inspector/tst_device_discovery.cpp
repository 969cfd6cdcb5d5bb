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

} // namespace

class DeviceDiscoveryTest : public QObject {
    Q_OBJECT

    PairingCertificates pairing;

private slots:
    void initTestCase() {
        std::signal(SIGPIPE, SIG_IGN);
        pairing = PairingCertificates::generate();
    }

    void listsUsbDevicesByName() {
        FakeDevice phone(kPhone, QStringLiteral("Zoe's iPhone"), pairing);
        FakeDevice pad(kPad, QStringLiteral("Ada's iPad"), pairing);
        pad.setProductVersion(QStringLiteral("16.7.2"));
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

        const QList<InspectableDevice> devices = PhysicalDevices::attached();
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices[0],
                 (InspectableDevice{kPad, QStringLiteral("Ada's iPad"), QStringLiteral("iOS 16.7.2"),
                                    InspectableDevice::Kind::device, std::nullopt}));
        QCOMPARE(devices[1],
                 (InspectableDevice{kPhone, QStringLiteral("Zoe's iPhone"), QStringLiteral("iOS 17.5"),
                                    InspectableDevice::Kind::device, std::nullopt}));
        // Each was described in a session of its own, and nobody talked to the network entry.
        QCOMPARE(phone.sessionsStarted(), 1);
        QCOMPARE(pad.sessionsStarted(), 1);
        QVERIFY(remote.lockdownRequests().isEmpty());
    }

    void unreadableVersionAndRefusals() {
        FakeDevice phone(kPhone, QStringLiteral("Phone"), pairing);
        phone.setProductVersion(std::nullopt);
        FakeDevice pad(kPad, QStringLiteral("Pad"), pairing);
        pad.setTrusted(false);
        FakeUsbmuxd usbmuxd;
        QVERIFY(usbmuxd.start());
        qputenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.address().toUtf8());
        usbmuxd.setPairRecord(kPhone, pairing.pairRecord());
        usbmuxd.setPairRecord(kPad, pairing.pairRecord());
        usbmuxd.plug(kPhone, &phone);
        usbmuxd.plug(kPad, &pad);
        // Attached, but its lockdown does not answer.
        usbmuxd.plug(kRemote, nullptr);

        // A version that cannot be read gives "device"; a device that refuses the session is still
        // listed with what it tells without one.
        const QList<InspectableDevice> devices = PhysicalDevices::attached();
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices[0].udid, kPad);
        QCOMPARE(devices[0].runtime, QStringLiteral("iOS 17.5"));
        QCOMPARE(devices[1].udid, kPhone);
        QCOMPARE(devices[1].runtime, QStringLiteral("device"));
        QCOMPARE(devices[1].name, QStringLiteral("Phone"));
        QVERIFY(pad.lockdownRequests().contains(QStringLiteral("StartSession")));
        QCOMPARE(phone.lockdownRequests().count(QStringLiteral("StopSession")), 1);

        // Without a pair record, the same.
        usbmuxd.setPairRecord(kPad, {});
        pad.setName(QStringLiteral("Pad 2"));
        QCOMPARE(PhysicalDevices::describe(kPad)->name, QStringLiteral("Pad 2"));
        QVERIFY(!PhysicalDevices::describe(kRemote));
    }

    void nothingWithoutUsbmuxd() {
        qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/tmp/tavolin-no-usbmuxd-here");
        QVERIFY(PhysicalDevices::attached().isEmpty());
        QVERIFY(!PhysicalDevices::describe(kPhone));
    }
};

QTEST_GUILESS_MAIN(DeviceDiscoveryTest)
#include "tst_device_discovery.moc"
