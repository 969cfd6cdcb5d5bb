// What the window does with the store: one highlighted page at a time over a real connection to a
// fake simulator, copying a remote object to the clipboard, and finding a window's device.
#include "console/ConsoleHub.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"
#include "ui/ConsoleActions.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTest>

class TestConsoleActions : public QObject {
    Q_OBJECT

private slots:
    void hoverAndCopy() {
        FakeSimulator phone;
        QVERIFY(phone.start());
        phone.addApp({QStringLiteral("PID:1"), QStringLiteral("Safari"), std::nullopt, std::nullopt});
        phone.addPage(
            QStringLiteral("PID:1"),
            FakeInspectorDaemon::page(1, QStringLiteral("A"), QStringLiteral("https://a.example/")));
        phone.setAnswerer(
            [](const FakeInspectorDaemon::Command& command) -> std::optional<FakeInspectorDaemon::Answer> {
                if (command.method != QLatin1String("Runtime.callFunctionOn"))
                    return std::nullopt;
                return FakeInspectorDaemon::Answer::result(
                    {{"result", QJsonObject{{"type", "string"}, {"value", "{\"a\":1}"}}}});
            });
        ScriptedDiscovery script;
        script.simulators = {
            ScriptedDiscovery::simulator(QStringLiteral("S"), QStringLiteral("iPhone"), phone.socketPath())};
        ConsoleHub hub(script.discovery());
        QVERIFY(ScriptedDiscovery::scan(hub));
        ConsoleActions actions(&hub);
        const PageKey a{QStringLiteral("S"), QStringLiteral("PID:1"), 1},
            b{QStringLiteral("S"), QStringLiteral("PID:1"), 2};
        const auto indications = [&] {
            QStringList seen;
            for (const auto& frame : phone.service().received(QStringLiteral("_rpc_forwardIndicateWebView:")))
                seen << frame.argument.value("WIRPageIdentifierKey").toString() +
                            (frame.argument.value("WIRIndicateEnabledKey").toBool() ? "+" : "-");
            return seen;
        };
        actions.hover(a, true);
        actions.hover(b, true);
        actions.hover(b, true);
        actions.hover(a, false); // not the highlighted page: nothing happens
        QCOMPARE(actions.indicated(), std::optional(b));
        actions.hover(b, false);
        QCOMPARE(actions.indicated(), std::nullopt);
        QTRY_COMPARE(indications(), (QStringList{"1+", "1-", "2+", "2-"}));

        QVERIFY(phone.waitForSession(QStringLiteral("PID:1"), 1));
        actions.copy(QStringLiteral("obj-1"), a, true);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("{\"a\":1}"));

        // A device that goes takes its highlight with it.
        actions.hover(a, true);
        script.simulators.clear();
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(actions.indicated(), std::nullopt);
    }

    void windowTitlesFindTheirDevice() {
        ScriptedDiscovery script;
        script.simulators = {
            ScriptedDiscovery::simulator(QStringLiteral("S1"), QStringLiteral("iPhone"), std::nullopt),
            ScriptedDiscovery::simulator(QStringLiteral("S2"), QStringLiteral("iPhone Pro"), std::nullopt)};
        script.devices = {InspectableDevice{QStringLiteral("D"), QString::fromUtf8("iPhone \u2014 iOS 17.5"),
                                            QStringLiteral("iOS 17.5"), InspectableDevice::Kind::device,
                                            std::nullopt}};
        ConsoleHub hub(script.discovery());
        QVERIFY(ScriptedDiscovery::scan(hub));
        const ConsoleActions actions(&hub);
        const auto udid = [&](const char* title) {
            return actions.device(QString::fromUtf8(title)).value_or(InspectableDevice{}).udid;
        };
        QCOMPARE(udid("iPhone \u2014 iOS 17.5"), QStringLiteral("S1")); // a simulator's own title wins
        QCOMPARE(udid("iPhone Pro \u2014 iOS 17.5"), QStringLiteral("S2"));
        QCOMPARE(udid("iPhone Pro Max"), QStringLiteral("S1")); // the first simulator whose name begins it
        QCOMPARE(udid("Watch"), QString());
    }
};

QTEST_MAIN(TestConsoleActions)
#include "tst_console_actions.moc"
