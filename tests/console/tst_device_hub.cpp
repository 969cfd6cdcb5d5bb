// The hub with its standard device discovery and transport, reaching a fake USB device through a
// fake usbmuxd: the trouble text of a device that is not ready, console messages over TLS, expanded
// objects, and a device that is unplugged, plugged back and no longer listed.
#include "console/ConsoleHub.h"
#include "inspector/InspectorTiming.h"
#include "support/FakeDevice.h"
#include "support/FakeUsbmuxd.h"
#include "support/ScriptedDiscovery.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

class TestDeviceHub : public QObject {
    Q_OBJECT

private slots:
    void aDeviceFromNotReadyToGone() {
        std::signal(SIGPIPE, SIG_IGN);
        InspectorTiming timing;
        timing.enableFallback = std::chrono::milliseconds(50);
        InspectorTiming::set(timing);
        const QString phone = u"00008110-000A11112222801E"_s, safari = u"PID:311"_s;
        const PairingCertificates pairing = PairingCertificates::generate();
        FakeDevice device(phone, u"Zoe's iPhone"_s, pairing);
        device.addApp({safari, u"Safari"_s, std::nullopt, std::nullopt});
        FakeInspectorDaemon::Page page = FakeInspectorDaemon::page(1, u"Shop"_s, u"https://shop.example/"_s);
        // A message of several megabytes, waiting for whoever enables the console.
        const QString big = QString(3 * 1024 * 1024, u'x') + u"end"_s;
        page.backlog = {QJsonObject{{"level", "error"}, {"text", big}}};
        device.addPage(safari, page);
        device.setAnswerer(
            [](const FakeInspectorDaemon::Command& command) -> std::optional<FakeInspectorDaemon::Answer> {
                if (command.method != "Runtime.getProperties"_L1)
                    return std::nullopt;
                return FakeInspectorDaemon::Answer::result(
                    {{"properties", QJsonArray{QJsonObject{{"name", "a"}}}}});
            });
        FakeUsbmuxd usbmuxd;
        QVERIFY(usbmuxd.start());
        qputenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.address().toUtf8());
        usbmuxd.setPairRecord(phone, pairing.pairRecord());
        usbmuxd.plug(phone, &device);
        std::atomic<bool> listed = true;
        ConsoleHub::Discovery discovery = ConsoleHub::Discovery::standard();
        discovery.simulators = nullptr;
        discovery.devices = [&listed, all = discovery.devices] {
            return listed ? all() : QList<InspectableDevice>{};
        };
        ConsoleHub hub(discovery);
        QSignalSpy devicesChanged(&hub, &ConsoleHub::devicesChanged);
        const auto texts = [&] {
            QStringList texts;
            for (const ConsoleEntry& entry : hub.entries(ConsoleScope::device(phone)))
                texts << entry.text;
            return texts;
        };

        // Not ready: listed, not connected, and the trouble says why.
        device.setWebInspectorEnabled(false);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(hub.devices(),
                 (QList<InspectableDevice>{
                     {phone, u"Zoe's iPhone"_s, u"iOS 17.5"_s, InspectableDevice::Kind::device, {}}}));
        QVERIFY(hub.trouble().value(phone).startsWith(u"Turn on Settings \u203A Apps"_s));
        QVERIFY(hub.connectedDevices().isEmpty());

        // Ready: connected, the trouble gone, the message through whole; later scans of the same
        // devices tell nobody and leave the live connection alone.
        device.setWebInspectorEnabled(true);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(devicesChanged.count(), 1);
        QCOMPARE(hub.connectedDevices(), QStringList{phone});
        QCOMPARE(device.serviceConnections(), 1);
        QVERIFY(hub.trouble().isEmpty());
        QTRY_COMPARE(texts(), QStringList{big});
        QCOMPARE(hub.unseenProblems(phone), 1);

        // Expanded objects are cached per device: asked once, forgotten when the device is cleared.
        QList<PropertyNode> rows;
        const auto expand = [&](const QString& deviceID) {
            rows = {PropertyNode{}};
            hub.expand(u"obj-1"_s, {deviceID, safari, 1}, [&](QList<PropertyNode> nodes) { rows = nodes; });
        };
        expand(phone);
        QTRY_COMPARE(rows.value(0).name, u"a"_s);
        expand(phone);
        QCOMPARE(rows.size(), 1); // from the cache, at once
        QCOMPARE(device.commands(u"Runtime.getProperties"_s).size(), size_t(1));
        hub.clear(u"other"_s);
        QCOMPARE(hub.properties().size(), 1);
        hub.clear(phone);
        QVERIFY(hub.properties().isEmpty() && texts().isEmpty());
        expand(u"other"_s); // a device without a connection answers with nothing
        QVERIFY(rows.isEmpty());

        // The cable goes: the connection ends by itself and everything of the device with it; the
        // device stays listed until the next scan.
        usbmuxd.unplug(phone);
        QTRY_VERIFY(hub.connectedDevices().isEmpty());
        QVERIFY(hub.pages(phone).isEmpty() && !hub.unseen().contains(phone));
        QCOMPARE(hub.devices().size(), 1);
        QVERIFY(device.waitUntil([&] { return device.serviceConnections() == 0; }));
        QVERIFY(ScriptedDiscovery::scan(hub));
        QVERIFY(hub.devices().isEmpty());

        // Back in: a later scan connects again; the page's message comes again, once.
        usbmuxd.plug(phone, &device);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(hub.connectedDevices(), QStringList{phone});
        QTRY_COMPARE(texts(), QStringList{big});

        // No longer listed: the live connection is ended and everything of the device goes.
        listed = false;
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(devicesChanged.count(), 4);
        QVERIFY(hub.connectedDevices().isEmpty() && hub.apps().isEmpty() && texts().isEmpty());
        QVERIFY(device.waitUntil([&] { return device.serviceConnections() == 0; }));
    }
};

QTEST_GUILESS_MAIN(TestDeviceHub)
#include "tst_device_hub.moc"
