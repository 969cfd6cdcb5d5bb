// The hub with its standard device discovery and transport, reaching a fake USB device through a
// fake usbmuxd: the trouble text of a device that is not ready, console messages over TLS, and
// unplugging in the middle of a session.
#include "console/ConsoleHub.h"
#include "inspector/InspectorTiming.h"
#include "support/FakeDevice.h"
#include "support/FakeUsbmuxd.h"
#include "support/ScriptedDiscovery.h"

#include <QTest>

#include <csignal>

class TestDeviceHub : public QObject {
    Q_OBJECT

private slots:
    void notReadyThenDeliveringThenUnplugged() {
        std::signal(SIGPIPE, SIG_IGN);
        InspectorTiming timing;
        timing.enableFallback = std::chrono::milliseconds(50);
        InspectorTiming::set(timing);
        const QString phone = QStringLiteral("00008110-000A11112222801E"), safari = QStringLiteral("PID:311");
        const PairingCertificates pairing = PairingCertificates::generate();
        FakeDevice device(phone, QStringLiteral("Zoe's iPhone"), pairing);
        device.addApp({safari, QStringLiteral("Safari"), std::nullopt, std::nullopt});
        device.addPage(safari, FakeInspectorDaemon::page(1, QStringLiteral("Shop"),
                                                         QStringLiteral("https://shop.example/")));
        FakeUsbmuxd usbmuxd;
        QVERIFY(usbmuxd.start());
        qputenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.address().toUtf8());
        usbmuxd.setPairRecord(phone, pairing.pairRecord());
        usbmuxd.plug(phone, &device);
        ConsoleHub::Discovery discovery = ConsoleHub::Discovery::standard();
        discovery.simulators = nullptr;
        ConsoleHub hub(discovery);
        const auto texts = [&] {
            QStringList texts;
            for (const ConsoleEntry& entry : hub.entries(ConsoleScope::device(phone)))
                texts << entry.text;
            return texts;
        };
        const auto log = [&](const QString& text) {
            return device.waitUntil([&] {
                const auto sessions = device.openSessions(safari, 1);
                return !sessions.empty() && sessions.front().consoleEnabled;
            }) && device.log(safari, 1, QJsonObject{{"level", "error"}, {"text", text}}) == 1;
        };

        // Not ready: listed, not connected, and the trouble says why.
        device.setWebInspectorEnabled(false);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(hub.devices(),
                 (QList<InspectableDevice>{{phone, QStringLiteral("Zoe's iPhone"), QStringLiteral("iOS 17.5"),
                                            InspectableDevice::Kind::device, std::nullopt}}));
        QVERIFY(hub.trouble().value(phone).startsWith(QString::fromUtf8("Turn on Settings \u203A Apps")));
        QVERIFY(hub.connectedDevices().isEmpty());

        // Ready: connected, the trouble gone, and a message of several megabytes comes through whole.
        device.setWebInspectorEnabled(true);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(hub.connectedDevices(), QStringList{phone});
        QVERIFY(hub.trouble().isEmpty());
        const QString big = QString(3 * 1024 * 1024, QLatin1Char('x')) + QStringLiteral("end");
        QVERIFY(log(big));
        QTRY_COMPARE(texts(), QStringList{big});
        QCOMPARE(hub.unseenProblems(phone), 1);
        QVERIFY(ScriptedDiscovery::scan(hub)); // later scans leave the live connection alone
        QCOMPARE(device.serviceConnections(), 1);

        // The cable goes: the connection ends by itself, and everything of the device with it.
        usbmuxd.unplug(phone);
        QTRY_VERIFY(hub.connectedDevices().isEmpty());
        QVERIFY(hub.pages(phone).isEmpty() && texts().isEmpty());
        QVERIFY(device.waitUntil([&] { return device.serviceConnections() == 0; }));
        QVERIFY(ScriptedDiscovery::scan(hub));
        QVERIFY(hub.devices().isEmpty());

        // Back in: a later scan connects again; the page's earlier message comes again, once.
        usbmuxd.plug(phone, &device);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QVERIFY(log(QStringLiteral("after")));
        QTRY_COMPARE(texts().size(), 2);
        QVERIFY(texts().contains(big) && texts().contains(QStringLiteral("after")));
    }
};

QTEST_GUILESS_MAIN(TestDeviceHub)
#include "tst_device_hub.moc"
