// What the window does with the store, over a real connection to a fake simulator: one highlighted
// page at a time, a remote object copied to the clipboard, and the device a window belongs to.
#include "console/ConsoleHub.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"
#include "ui/ConsoleActions.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTest>

using namespace Qt::StringLiterals;

class TestConsoleActions : public QObject {
    Q_OBJECT

private slots:
    void hoverCopyAndWindowTitles() {
        FakeSimulator phone;
        QVERIFY(phone.start());
        phone.addApp({u"PID:1"_s, u"Safari"_s, std::nullopt, std::nullopt});
        phone.addPage(u"PID:1"_s, FakeInspectorDaemon::page(1, u"A"_s, u"https://a.example/"_s));
        phone.setAnswerer(
            [](const FakeInspectorDaemon::Command& command) -> std::optional<FakeInspectorDaemon::Answer> {
                if (command.method != "Runtime.callFunctionOn"_L1)
                    return std::nullopt;
                return FakeInspectorDaemon::Answer::result(
                    {{"result", QJsonObject{{"type", "string"}, {"value", "[1]"}}}});
            });
        ScriptedDiscovery script;
        // Only the first has a socket: the others are neither connected nor in trouble.
        script.simulators = {ScriptedDiscovery::simulator(u"S1"_s, u"iPhone"_s, phone.socketPath()),
                             ScriptedDiscovery::simulator(u"S2"_s, u"iPhone Pro"_s, std::nullopt)};
        script.devices = {
            {u"D"_s, u"iPhone \u2014 iOS 17.5"_s, u"iOS 17.5"_s, InspectableDevice::Kind::device, {}}};
        ConsoleHub hub(script.discovery());
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(hub.connectedDevices(), QStringList{u"S1"_s});
        QVERIFY(hub.trouble().isEmpty());
        ConsoleActions actions(&hub);

        const auto udid = [&](const QString& title) {
            return actions.device(title).value_or(InspectableDevice{}).udid;
        };
        QCOMPARE(udid(u"iPhone \u2014 iOS 17.5"_s), u"S1"_s); // a simulator's own title wins
        QCOMPARE(udid(u"iPhone Pro \u2014 iOS 17.5"_s), u"S2"_s);
        QCOMPARE(udid(u"iPhone Pro Max"_s), u"S1"_s); // the first simulator whose name begins it
        QCOMPARE(udid(u"Watch"_s), QString());

        const PageKey a{u"S1"_s, u"PID:1"_s, 1}, b{u"S1"_s, u"PID:1"_s, 2};
        actions.hover(a, true);
        actions.hover(b, true);
        actions.hover(b, true);
        actions.hover(a, false); // not the highlighted page: nothing happens
        QCOMPARE(actions.indicated(), std::optional(b));
        actions.hover(b, false);
        QCOMPARE(actions.indicated(), std::nullopt);
        QTRY_COMPARE(phone.service().received(u"_rpc_forwardIndicateWebView:"_s).size(), size_t(4));
        QStringList indications;
        for (const auto& frame : phone.service().received(u"_rpc_forwardIndicateWebView:"_s))
            indications << frame.argument.value("WIRPageIdentifierKey").toString() +
                               (frame.argument.value("WIRIndicateEnabledKey").toBool() ? "+" : "-");
        QCOMPARE(indications, (QStringList{"1+", "1-", "2+", "2-"}));

        QVERIFY(phone.waitForSession(u"PID:1"_s, 1));
        actions.copy(u"obj-1"_s, a, true);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), u"[1]"_s);

        // A device that goes takes its highlight with it.
        actions.hover(a, true);
        script.simulators.clear();
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(actions.indicated(), std::nullopt);
    }
};

QTEST_MAIN(TestConsoleActions)
#include "tst_console_actions.moc"
