// The hub with its standard device discovery and transport, reaching a fake USB device through a
// fake usbmuxd: console messages over TLS, the trouble texts of a device that is not ready, and
// unplugging in the middle of a session.
#include "console/ConsoleHub.h"
#include "inspector/InspectorTiming.h"
#include "support/FakeDevice.h"
#include "support/FakeUsbmuxd.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

namespace {

const QString kPhone = QStringLiteral("00008110-000A11112222801E");
const QString kSafari = QStringLiteral("PID:311");
const QString kNotPaired = QStringLiteral("Not paired. Unlock the device and trust this Mac.");
const QString kInspectorOff = QString::fromUtf8(
    "Turn on Settings \u203A Apps \u203A Safari \u203A Advanced \u203A Web Inspector, and unlock "
    "the device");

bool scan(ConsoleHub& hub) {
    QSignalSpy finished(&hub, &ConsoleHub::scanFinished);
    hub.rescanDevices();
    return finished.wait(15000);
}

// The standard discovery, without simulators.
ConsoleHub::Discovery devicesOnly() {
    ConsoleHub::Discovery discovery = ConsoleHub::Discovery::standard();
    discovery.simulators = nullptr;
    return discovery;
}

} // namespace

class DeviceHubTest : public QObject {
    Q_OBJECT

    PairingCertificates pairing;
    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<FakeUsbmuxd> usbmuxd;

    bool consoleEnabled() {
        return device->waitUntil([&] {
            const auto sessions = device->openSessions(kSafari, 1);
            return !sessions.empty() && sessions.front().consoleEnabled;
        });
    }

private slots:
    void initTestCase() {
        std::signal(SIGPIPE, SIG_IGN);
        InspectorTiming timing;
        timing.enableFallback = 50ms;
        timing.poll = 300ms;
        InspectorTiming::set(timing);
        pairing = PairingCertificates::generate();
    }

    void init() {
        device = std::make_unique<FakeDevice>(kPhone, QStringLiteral("Zoe's iPhone"), pairing);
        device->addApp(
            {kSafari, QStringLiteral("Safari"), QStringLiteral("com.apple.mobilesafari"), std::nullopt});
        FakeInspectorDaemon::Page page;
        page.id = 1;
        page.title = QStringLiteral("Shop");
        page.url = QStringLiteral("https://shop.example/cart");
        device->addPage(kSafari, page);
        usbmuxd = std::make_unique<FakeUsbmuxd>();
        QVERIFY(usbmuxd->start());
        qputenv("USBMUXD_SOCKET_ADDRESS", usbmuxd->address().toUtf8());
        usbmuxd->setPairRecord(kPhone, pairing.pairRecord());
        usbmuxd->plug(kPhone, device.get());
    }

    void cleanup() {
        usbmuxd.reset();
        device.reset();
    }

    void trustedDeviceDeliversItsConsole() {
        ConsoleHub hub(devicesOnly());
        QVERIFY(scan(hub));
        QCOMPARE(hub.devices(), (QList<InspectableDevice>{{kPhone, QStringLiteral("Zoe's iPhone"),
                                                           QStringLiteral("iOS 17.5"),
                                                           InspectableDevice::Kind::device, std::nullopt}}));
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QVERIFY(hub.trouble().isEmpty());
        QTRY_COMPARE(hub.pages(kPhone).size(), 1);
        QCOMPARE(hub.pages(kPhone).front().title, QStringLiteral("Shop"));
        QVERIFY(consoleEnabled());

        device->log(kSafari, 1,
                    QJsonObject{{"level", "error"}, {"source", "console-api"}, {"text", "card declined"}});
        QTRY_COMPARE(hub.unseenProblems(kPhone), 1);
        const QList<ConsoleEntry> entries = hub.entries(ConsoleScope::device(kPhone));
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.front().text, QStringLiteral("card declined"));

        // A message of several megabytes comes through whole.
        const QString big = QString(3 * 1024 * 1024, QLatin1Char('x')) + QStringLiteral("end");
        device->log(kSafari, 1, QJsonObject{{"level", "log"}, {"source", "console-api"}, {"text", big}});
        QTRY_COMPARE(hub.entries(ConsoleScope::device(kPhone)).size(), 2);
        QCOMPARE(hub.entries(ConsoleScope::device(kPhone)).back().text, big);

        // Later scans leave the live connection alone.
        QVERIFY(scan(hub));
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QCOMPARE(device->serviceConnections(), 1);
    }

    void deviceThatIsNotReadySaysWhy() {
        device->setTrusted(false);
        ConsoleHub hub(devicesOnly());
        QVERIFY(scan(hub));
        QCOMPARE(hub.devices().size(), 1);
        QCOMPARE(hub.devices().front().name, QStringLiteral("Zoe's iPhone"));
        QCOMPARE(hub.trouble().value(kPhone), kNotPaired);
        QVERIFY(hub.connectedDevices().isEmpty());

        // Trusted now, but Web Inspector is off.
        device->setTrusted(true);
        device->setWebInspectorEnabled(false);
        QVERIFY(scan(hub));
        QCOMPARE(hub.trouble().value(kPhone), kInspectorOff);
        QVERIFY(hub.connectedDevices().isEmpty());

        device->setWebInspectorEnabled(true);
        QVERIFY(scan(hub));
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QVERIFY(hub.trouble().isEmpty());
        QTRY_COMPARE(hub.pages(kPhone).size(), 1);
    }

    void unplugAndPlugBack() {
        ConsoleHub hub(devicesOnly());
        QVERIFY(scan(hub));
        QVERIFY(consoleEnabled());
        device->log(kSafari, 1, QJsonObject{{"level", "log"}, {"source", "console-api"}, {"text", "before"}});
        QTRY_COMPARE(hub.unseen(kPhone), 1);

        // The cable goes: the connection ends by itself, and everything of the device with it.
        QSignalSpy connections(&hub, &ConsoleHub::connectionsChanged);
        usbmuxd->unplug(kPhone);
        QTRY_VERIFY(hub.connectedDevices().isEmpty());
        QVERIFY(hub.pages(kPhone).isEmpty());
        QVERIFY(device->waitUntil([&] { return device->serviceConnections() == 0; }));
        QVERIFY(scan(hub));
        QVERIFY(hub.devices().isEmpty());
        QCOMPARE(hub.entries(ConsoleScope::device(kPhone)).size(), 0);
        QVERIFY(hub.trouble().isEmpty());

        // Back in: a later scan connects again.
        usbmuxd->plug(kPhone, device.get());
        QVERIFY(scan(hub));
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QTRY_COMPARE(hub.pages(kPhone).size(), 1);
        QVERIFY(consoleEnabled());
        device->log(kSafari, 1, QJsonObject{{"level", "log"}, {"source", "console-api"}, {"text", "after"}});
        // The page's earlier message comes again with the new session, once.
        QTRY_COMPARE(hub.entries(ConsoleScope::device(kPhone)).size(), 2);
        QStringList texts;
        for (const ConsoleEntry& entry : hub.entries(ConsoleScope::device(kPhone)))
            texts << entry.text;
        texts.sort();
        QCOMPARE(texts, (QStringList{"after", "before"}));
    }
};

QTEST_GUILESS_MAIN(DeviceHubTest)
#include "tst_device_hub.moc"
