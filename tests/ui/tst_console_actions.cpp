// What the window does with the store, over a real connection to a fake simulator: one highlighted
// page at a time, and the device a window belongs to.
#include "console/ConsoleHub.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"
#include "ui/ConsoleActions.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestConsoleActions : public QObject {
    Q_OBJECT

private slots:
    void hoverAndWindowTitles() {
        FakeSimulator phone;
        QVERIFY(phone.start());
        ScriptedDiscovery script;
        // Only the first has a socket, and a connection.
        script.simulators = {ScriptedDiscovery::simulator(u"S1"_s, u"iPhone"_s, phone.socketPath()),
                             ScriptedDiscovery::simulator(u"S2"_s, u"iPhone Pro"_s, std::nullopt)};
        script.devices = {
            {u"D"_s, u"iPhone \u2014 iOS 17.5"_s, u"iOS 17.5"_s, InspectableDevice::Kind::device, {}}};
        ConsoleHub hub(script.discovery());
        QVERIFY(ScriptedDiscovery::scan(hub));
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

        // A device that goes takes its highlight with it.
        actions.hover(a, true);
        script.simulators.clear();
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(actions.indicated(), std::nullopt);
    }
};

QTEST_MAIN(TestConsoleActions)
#include "tst_console_actions.moc"
