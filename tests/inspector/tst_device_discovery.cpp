// Finding USB devices through a fake usbmuxd with real libimobiledevice: listing, the lockdown
// handshake with its TLS session, the values read from lockdown, and the built program's report.
#include "inspector/PhysicalDevices.h"
#include "support/FakeDevice.h"
#include "support/FakeUsbmuxd.h"

#include <QProcess>
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

    // Listed by name, then the built program's --dump report with these as its only targets.
    void listsUsbDevicesByName() {
        FakeDevice phone(kPhone, QStringLiteral("Zoe's iPhone"), pairing);
        phone.setProductVersion(std::nullopt);
        phone.addApp({QStringLiteral("PID:311"), QStringLiteral("Safari"), std::nullopt, std::nullopt});
        FakeInspectorDaemon::Page page = FakeInspectorDaemon::page(1, "Shop", "https://shop.example/cart");
        page.backlog = {QJsonObject{{"level", "warning"},
                                    {"source", "console-api"},
                                    {"text", "low stock"},
                                    {"url", "https://shop.example/js/app.js"},
                                    {"line", 7}}};
        phone.addPage(QStringLiteral("PID:311"), page);
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
        const QString silent = QStringLiteral("00008030-000D77778888004E");
        usbmuxd.plug(silent, nullptr);

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
        QVERIFY(!PhysicalDevices::describe(silent));
        // The silent one keeps what was known of it; one known but no longer attached is not listed.
        const InspectableDevice known{silent, "Old iPhone", "iOS 17.5", kDevice, {}};
        QCOMPARE(PhysicalDevices::attached({known, {kPad + "0", "Gone", "device", kDevice, {}}}),
                 (QList<InspectableDevice>{{kPad, "Ada's iPad", "iOS 16.7.2", kDevice, {}},
                                           known,
                                           {kPhone, "Zoe's iPhone", "device", kDevice, {}}}));

        usbmuxd.unplug(silent);
        phone.setProductVersion(QStringLiteral("17.5"));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        environment.remove(QStringLiteral("DISPLAY"));
        process.setProcessEnvironment(environment);
        process.start(qEnvironmentVariable("TAVOLIN_BIN"), {"--dump", "3"});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        const QString report = QString::fromUtf8(process.readAllStandardOutput());
        // The pad refuses the session; the phone's page and its backlog came over the inspector service.
        for (const char* line : {"device Ada's iPad [iOS 16.7.2] kind=device transport=usbmux\n"
                                 "  window title: Ada's iPad \u2014 iOS 16.7.2\n"
                                 "  trouble: Not paired.",
                                 "device Zoe's iPhone [iOS 17.5]", "    [warning] low stock (app.js:7)\n"})
            QVERIFY2(report.contains(QString::fromUtf8(line)), qPrintable(report));
        // The program's service connection ended with the process.
        QVERIFY(usbmuxd.waitUntil([&] { return phone.serviceConnections() == 0; }));

        // Without a pair record, described all the same.
        usbmuxd.setPairRecord(kPhone, {});
        phone.setName(QStringLiteral("Zoe 2"));
        QCOMPARE(PhysicalDevices::describe(kPhone)->name, QStringLiteral("Zoe 2"));
    }
};

QTEST_GUILESS_MAIN(TestDeviceDiscovery)
#include "tst_device_discovery.moc"
