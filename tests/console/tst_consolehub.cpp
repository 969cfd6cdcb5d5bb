// The hub with a real connection to a fake inspector daemon over a unix socket, from not paired to no
// longer listed; its inventory of applications and pages, and its entries with their counts.
#include "base/Preferences.h"
#include "console/ConsoleHub.h"
#include "inspector/InspectorTiming.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"

#include <QJsonArray>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kPhone = QStringLiteral("11111111-1111-1111-1111-111111111111");
const QString kPad = QStringLiteral("22222222-2222-2222-2222-222222222222");
const PageKey kPage{kPhone, QStringLiteral("PID:1"), 1}, kOther{kPhone, QStringLiteral("PID:2"), 2};

ConsoleEntry entry(const PageKey& page, const QString& text, ConsoleLevel level = {}, qint64 at = 1,
                   EntryKind kind = EntryKind::message) {
    return {.page = page,
            .level = level,
            .text = text,
            .receivedAt = QDateTime::fromMSecsSinceEpoch(at),
            .kind = kind};
}

// A simulator running Safari with one page, Shop, whose console already holds `backlog`.
struct ShopSimulator : FakeSimulator {
    explicit ShopSimulator(const QString& backlog = {}) {
        start();
        addApp({kPage.appID, u"Safari"_s, std::nullopt, std::nullopt});
        FakeInspectorDaemon::Page page = FakeInspectorDaemon::page(1, u"Shop"_s, u"https://shop.example/"_s);
        if (!backlog.isEmpty()) // sent once the console is on
            page.backlog = {QJsonObject{{"level", "error"}, {"text", backlog}}};
        addPage(kPage.appID, page);
    }
};

QStringList texts(const QList<ConsoleEntry>& entries) {
    QStringList texts;
    for (const ConsoleEntry& entry : entries)
        texts << entry.text;
    return texts;
}

} // namespace

class TestConsoleHub : public QObject {
    Q_OBJECT

private slots:
    void aDeviceFromNotPairedToGone() {
        InspectorTiming::set({.enableFallback = std::chrono::milliseconds(50)});
        ShopSimulator phone(u"declined"_s);
        phone.setAnswerer(
            [](const FakeInspectorDaemon::Command& command) -> std::optional<FakeInspectorDaemon::Answer> {
                if (command.method != "Runtime.getProperties"_L1)
                    return std::nullopt;
                return FakeInspectorDaemon::Answer::result(
                    {{"properties", QJsonArray{QJsonObject{{"name", "a"}}}}});
            });
        ScriptedDiscovery script;
        script.paired->store(false);
        script.devices = {
            {kPhone, u"Phone"_s, u"iOS 17.5"_s, InspectableDevice::Kind::device, phone.socketPath()},
            {kPad, u"iPad"_s, u"iOS 17.5"_s, InspectableDevice::Kind::device, {}}};
        ConsoleHub hub(script.discovery());
        QSignalSpy devicesChanged(&hub, &ConsoleHub::devicesChanged);
        const auto texts = [&] { return ::texts(hub.entries(ConsoleScope::device(kPhone))); };

        // Not paired: listed, not connected, and the trouble says why; a device that cannot be reached
        // at all is neither connected nor in trouble.
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(hub.trouble(),
                 (QHash<QString, QString>{{kPhone, u"Not paired. Unlock the device and trust this Mac."_s}}));
        QVERIFY(hub.connectedDevices().isEmpty());

        // Paired: connected, the trouble gone, the page's message in; later scans of the same devices
        // tell nobody and open nothing new.
        script.paired->store(true);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(devicesChanged.count(), 1);
        QCOMPARE(script.transportsMade.load(), 2);
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QVERIFY(hub.trouble().isEmpty());
        QTRY_COMPARE(texts(), QStringList{u"declined"_s});

        // Expanded objects are cached per device: asked once, forgotten when the device is cleared.
        QList<PropertyNode> rows;
        const auto expand = [&](const QString& deviceID) {
            rows = {PropertyNode{}};
            hub.expand(u"obj-1"_s, {deviceID, kPage.appID, 1},
                       [&](QList<PropertyNode> nodes) { rows = nodes; });
        };
        expand(kPhone);
        QTRY_COMPARE(rows.value(0).name, u"a"_s);
        expand(kPhone);
        QCOMPARE(rows.size(), 1); // from the cache, at once
        QCOMPARE(phone.commands(u"Runtime.getProperties"_s).size(), size_t(1));
        hub.clear(kPhone);
        QVERIFY(hub.properties().isEmpty() && texts().isEmpty() && hub.unseen(kPhone) == 0);
        expand(kPad); // a device without a connection answers with nothing
        QVERIFY(rows.isEmpty());

        // A connection that ends drops everything of its device, which stays listed and is connected
        // again by the next scan; the page's message comes again, once.
        phone.service().disconnect();
        QTRY_VERIFY(hub.connectedDevices().isEmpty());
        QVERIFY(hub.pages(kPhone).isEmpty() && !hub.unseen().contains(kPhone));
        QCOMPARE(hub.devices().size(), 2);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QTRY_COMPARE(texts(), QStringList{u"declined"_s});

        // No longer listed: the live connection is ended and everything of the device goes.
        script.devices.removeFirst(); // no scan runs now
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(devicesChanged.count(), 2);
        QVERIFY(hub.connectedDevices().isEmpty() && hub.apps().isEmpty() && texts().isEmpty());
        QTRY_COMPARE(phone.service().currentClient(), -1);
    }

    // What a connection had already sent towards the main thread when its device was dropped (a new
    // listing, a message) is thrown away, not stored again for a device that is gone.
    void aDroppedDeviceKeepsNothingOnItsWay() {
        ShopSimulator sim;
        ScriptedDiscovery script;
        script.simulators = {ScriptedDiscovery::simulator(kPhone, u"Phone"_s, sim.socketPath())};
        ConsoleHub hub(script.discovery());
        QVERIFY(ScriptedDiscovery::scan(hub));
        QVERIFY(sim.waitForCommand(kPage.appID, 1, u"Console.enable"_s));
        sim.sendConsole(kPage.appID, 1, {{"text", "first"}});
        QTRY_COMPARE(hub.entries(ConsoleScope::device(kPhone)).size(), 1);

        script.simulators.clear(); // no scan runs now
        hub.rescanDevices();
        QTest::qSleep(300); // the scan's result waits for the main thread...
        sim.addPage(kPage.appID, FakeInspectorDaemon::page(2, u"Cart"_s, u"https://shop.example/cart"_s));
        sim.sendListing(kPage.appID);
        sim.sendConsole(kPage.appID, 1, {{"text", "late"}});
        QTest::qSleep(300); // ...and so do these, behind it
        QTRY_VERIFY(hub.connectedDevices().isEmpty());
        QTest::qWait(50);
        QVERIFY(hub.apps().isEmpty() && hub.pages().isEmpty());
        QVERIFY(hub.entries(ConsoleScope::device(kPhone)).isEmpty() && !hub.unseen().contains(kPhone));
    }

    // A session reopened on a page the hub holds: the page's replay adds only what was logged
    // meanwhile, and only that counts as unseen. Kept across loads, a navigation keeps the rows and
    // adds a marker; the page's own clear still clears, and so does a load with the setting off.
    void reopenedSessionsAndLoads() {
        QTemporaryDir prefs;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, prefs.path());
        InspectorTiming::set({.enableFallback = std::chrono::milliseconds(50)});
        ShopSimulator sim;
        const auto log = [&](const QString& text, QJsonValue at = {}) {
            sim.log(kPage.appID, 1, {{"level", "error"}, {"text", text}, {"timestamp", at}});
        };
        sim.log(kPage.appID, 1, {{"level", "warning"}, {"text", "7 console messages are not shown."}});
        log(u"declined"_s); // twice alike, without a time: each stored message stands for one
        log(u"declined"_s);
        sim.setAnswerer([](const FakeInspectorDaemon::Command& command) {
            return command.params["expression"] == "location.href"_L1
                       ? std::optional(FakeInspectorDaemon::Answer::result(
                             {{"result",
                               QJsonObject{{"type", "string"}, {"value", "https://shop.example/cart"}}}}))
                       : std::nullopt;
        });
        ScriptedDiscovery script;
        script.simulators = {ScriptedDiscovery::simulator(kPhone, u"Phone"_s, sim.socketPath())};
        ConsoleHub hub(script.discovery());
        const auto texts = [&] { return ::texts(hub.entries(ConsoleScope::device(kPhone))); };
        QStringList expected{u"7 console messages are not shown."_s, u"declined"_s, u"declined"_s};
        QVERIFY(ScriptedDiscovery::scan(hub));
        QTRY_COMPARE(texts(), expected);
        hub.markSeen(kPhone);

        hub.setCapturing(false);
        QVERIFY(FakeInspectorDaemon::waitUntil([&] { return !sim.sessions(kPage.appID, 1).back().open; }));
        log(u"declined"_s); // alike again: logged anew, as is a later one
        log(u"declined"_s, 3.5);
        hub.setCapturing(true);
        expected << u"declined"_s << u"declined"_s;
        QTRY_COMPARE(texts(), expected);
        QTest::qWait(200);
        QCOMPARE(texts(), expected);
        QCOMPARE(hub.unseen(kPhone), 2);

        const QString navigation = u"main-frame-navigation"_s;
        Preferences::setKeepAcrossLoads(true);
        sim.sendCleared(kPage.appID, 1, navigation);
        QTRY_COMPARE(texts(), expected + QStringList{u"Navigated to shop.example/cart"_s});
        sim.sendCleared(kPage.appID, 1, u"console-api"_s);
        QTRY_VERIFY(texts().isEmpty());
        Preferences::setKeepAcrossLoads(false);
        log(u"before the load"_s, 4.5);
        QTRY_COMPARE(texts().size(), 1);
        sim.sendCleared(kPage.appID, 1, navigation);
        QTRY_VERIFY(texts().isEmpty());
    }

    void inventoryOrdersAndFindsPagesAgain() {
        PageInventory inventory;
        QList<InspectorApp> apps;
        for (const auto& [id, name] :
             {std::pair{"PID:30", "Shop"}, {"PID:7", "Shop"}, {"PID:5", "Empty"}, {"PID:9", "browser"}})
            apps.append({{kPhone, id}, name, std::nullopt});
        inventory.replaceApps(kPhone, apps);
        QList<InspectorPage> pages;
        const auto add = [&](const char* appID, qint64 id, const char* title, const char* url) {
            pages.append({{kPhone, appID, id}, title, {}, url, appID[4] == '9' ? "browser" : "Shop"});
            inventory.replacePages(kPhone, pages);
            return PageKey{kPhone, appID, id};
        };
        add("PID:30", 1, "Page 10", "https://b.example/x");
        add("PID:30", 2, "page 9", "https://a.example/y");
        add("PID:30", 3, "Zeta", "https://A.example/z");
        const auto mark = inventory.mark(add("PID:7", 4, "Cart", "https://shop.example/cart?x=1"));
        add("PID:9", 5, "Docs", "https://docs.example/");

        // Applications with pages, by name in code-point order, equal names by process id; an
        // application's pages in file-browser order of their titles; a device's pages by application
        // name, then by short label in code-point order.
        QStringList seen;
        for (const InspectorApp& app : inventory.apps(kPhone))
            seen << app.key.appID;
        for (const InspectorPage& page : inventory.pages(AppKey{kPhone, QStringLiteral("PID:30")}))
            seen << page.title;
        for (const InspectorPage& page : inventory.pages(kPhone))
            seen << page.shortLabel();
        QCOMPARE(seen, (QStringList{"PID:7", "PID:30", "PID:9", "page 9", "Page 10", "Zeta", "a.example/y",
                                    "a.example/z", "b.example/x", "shop.example/cart", "docs.example"}));
        QCOMPARE(inventory.app(QStringLiteral("browser"), kPhone),
                 std::optional(AppKey{kPhone, QStringLiteral("PID:9")}));
        QCOMPARE(inventory.app(QStringLiteral("Browser"), kPhone), std::nullopt);

        // A mark finds its page after a reload (same URL), then by host and path while that is unique.
        pages.removeAt(3);
        QCOMPARE(inventory.page(*mark), add("PID:7", 40, "Cart", "https://shop.example/cart?x=1"));
        pages.removeLast();
        QCOMPARE(inventory.page(*mark), add("PID:7", 41, "", "http://shop.example/cart?x=2#top"));
        add("PID:7", 42, "", "https://shop.example/cart?x=3");
        QCOMPARE(inventory.page(*mark), std::nullopt);
    }

    void countsAndEvaluations() {
        ConsoleHub hub(ConsoleHub::Discovery{});
        hub.setReading(kPhone); // its messages are seen as they come
        hub.append(entry(kPage, {}, ConsoleLevel::error));
        // A repeat counts even while read, never as a problem, and needs an entry to repeat.
        hub.repeated(kPage, 3);
        hub.repeated(kOther, 2);
        QCOMPARE(hub.entries(ConsoleScope::page(kPage)).last().repeatCount, 3);

        // Evaluations wait each for the result that answers it (there is no connection here).
        hub.setReading(std::nullopt);
        QStringList answers;
        QList<QUuid> asked;
        for (const QString expression : {"first", "second"})
            asked << hub.evaluate(expression, kPage, [&, expression](ConsoleEntry entry) {
                answers << expression + entry.text;
            });
        QCOMPARE(hub.waitingCount(kPage), 2);
        for (const auto& [text, answered] : {std::pair{"B", asked[1]}, {"A", asked[0]}, {"C", QUuid()}}) {
            ConsoleEntry result = entry(kPage, text, ConsoleLevel::error, 1, EntryKind::result);
            result.answers = answered;
            hub.append(result);
        }
        QCOMPARE(answers, (QStringList{"secondB", "firstA"})); // nobody waits for "C": just stored
        QCOMPARE(hub.waitingCount(kPage), 0);
        QCOMPARE(hub.entries(ConsoleScope::page(kPage)).value(1).source, QStringLiteral("console-input"));
        // Input and result entries never count, errors included: only the repeat does.
        QVERIFY(hub.unseen(kPhone) == 1 && hub.unseenProblems(kPhone) == 0);

        // A later repeat belongs to the page's last console message, not to input, results or the
        // program's own notices after it; whoever shows the message hears which one now repeats.
        QSignalSpy repeats(&hub, &ConsoleHub::entryRepeated);
        ConsoleEntry notice = entry(kPage, u"The page stopped answering"_s, ConsoleLevel::warning);
        notice.source = ConsoleEntry::kNoticeSource.toString();
        hub.append(notice);
        hub.repeated(kPage, 4);
        QStringList counts;
        for (const ConsoleEntry& entry : hub.entries(ConsoleScope::page(kPage)))
            counts << QString::number(entry.repeatCount);
        QCOMPARE(counts, (QStringList{"4", "1", "1", "1", "1", "1", "1"}));
        const QUuid repeated = hub.entries(ConsoleScope::page(kPage)).first().id;
        QCOMPARE(repeats, (QList<QVariantList>{{QVariant::fromValue(kPage), repeated, qint64(4)}}));
    }

    // A caller waiting for a page that never answers hears of it when the link ends and when the
    // device goes, and the next evaluation on the page is answered again.
    void waitingEvaluationsFailWhenTheirLinkEnds() {
        ShopSimulator phone;
        ScriptedDiscovery script;
        script.simulators = {ScriptedDiscovery::simulator(kPhone, u"Phone"_s, phone.socketPath())};
        ConsoleHub hub(script.discovery());
        QStringList answers;
        const auto ask = [&] {
            const size_t sent = phone.commands(u"Runtime.evaluate"_s).size();
            hub.evaluate(u"spin()"_s, kPage,
                         [&](ConsoleEntry entry) { answers << QString::number(int(entry.level)); });
            return QTest::qWaitFor([&] { return phone.commands(u"Runtime.evaluate"_s).size() > sent; },
                                   10000);
        };
        QVERIFY(ScriptedDiscovery::scan(hub) && ask());
        phone.service().disconnect();
        QTRY_COMPARE(answers, QStringList{u"4"_s});
        QVERIFY(ScriptedDiscovery::scan(hub) && ask());
        script.simulators.clear();
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(answers, (QStringList{u"4"_s, u"4"_s}));
        QCOMPARE(hub.waitingCount(kPage), 0);
    }

    // A source that could not tell keeps its devices for that scan, connection and entries and all;
    // a listing that works without them drops them at once.
    void aFailedListingKeepsItsDevices() {
        ShopSimulator phone(u"kept"_s);
        ScriptedDiscovery script;
        script.simulators = {ScriptedDiscovery::simulator(kPhone, u"iPhone"_s, phone.socketPath())};
        script.devices = {{kPad, u"iPad"_s, u"iOS 17.5"_s, InspectableDevice::Kind::device, {}}};
        ConsoleHub hub(script.discovery());
        QVERIFY(ScriptedDiscovery::scan(hub));
        QTRY_COMPARE(hub.entryCount(kPage), 1);
        const QList<InspectableDevice> listed = hub.devices();
        QSignalSpy devicesChanged(&hub, &ConsoleHub::devicesChanged);
        QSignalSpy connectionsChanged(&hub, &ConsoleHub::connectionsChanged);

        script.simulatorsFail = script.devicesFail = true;
        script.simulators.clear(); // no scan runs now
        script.devices.clear();
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(hub.devices(), listed);
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QCOMPARE(hub.entryCount(kPage) + hub.unseen(kPhone), 2);
        QCOMPARE(devicesChanged.count() + connectionsChanged.count(), 0);

        QVERIFY(ScriptedDiscovery::scan(hub));
        QVERIFY(hub.devices().isEmpty() && hub.connectedDevices().isEmpty() && hub.entryCount(kPage) == 0);
    }

    // Device and application scopes list entries in the order they were stored, whatever the clocks
    // of the threads that stamped them say; every scope's count is kept as entries come and go.
    void scopesFollowTheStoringOrder() {
        ConsoleHub hub(ConsoleHub::Discovery{});
        const PageKey sibling{kPhone, kPage.appID, 3};
        for (const auto& [page, text, at] : {std::tuple{kPage, "a1", 2000},
                                             {kOther, "b1", 2000},
                                             {sibling, "c1", 1000},
                                             {kPage, "a2", 1500},
                                             {kOther, "b2", 900},
                                             {PageKey{kPad, kPage.appID, 1}, "x", 1200}})
            hub.append(entry(page, text, {}, at));
        const QList<ConsoleEntry> all = hub.entries(ConsoleScope::device(kPhone));
        QCOMPARE(texts(all), (QStringList{"a1", "b1", "c1", "a2", "b2"}));
        QCOMPARE(texts(hub.entries(ConsoleScope::app(kPage.app()))), (QStringList{"a1", "c1", "a2"}));
        for (qsizetype i = 0; i < all.size(); ++i)
            QCOMPARE(all[i].sequence, all[0].sequence + i);
        // Readers that keep up ask for what came after the last entry they hold.
        QCOMPARE(texts(hub.entriesAfter(ConsoleScope::device(kPhone), all[1].sequence)),
                 (QStringList{"c1", "a2", "b2"}));
        QCOMPARE(texts(hub.entriesAfter(ConsoleScope::page(kPage), all[0].sequence)), QStringList{"a2"});
        QVERIFY(hub.entriesAfter(ConsoleScope::app(kPage.app()), hub.lastSequence()).isEmpty());

        const auto counts = [&] {
            return QList<qsizetype>{
                hub.entryCount(ConsoleScope::device(kPhone)), hub.entryCount(ConsoleScope::app(kPage.app())),
                hub.entryCount(ConsoleScope::app(kOther.app())), hub.entryCount(ConsoleScope::page(sibling))};
        };
        QCOMPARE(counts(), (QList<qsizetype>{5, 3, 2, 1}));
        for (int i = 0; i < ConsoleHub::kHistoryLimit; ++i) // the page keeps the newest only
            hub.append(entry(kOther, {}));
        QVERIFY(hub.entries(ConsoleScope::page(kOther)).first().text.isEmpty());
        QCOMPARE(counts(),
                 (QList<qsizetype>{3 + ConsoleHub::kHistoryLimit, 3, ConsoleHub::kHistoryLimit, 1}));
        hub.clear(kPhone);
        QCOMPARE(counts(), (QList<qsizetype>{0, 0, 0, 0}));
        QVERIFY(hub.removals(kPhone) == 1 && hub.removals(kPad) == 0);
    }
};

QTEST_GUILESS_MAIN(TestConsoleHub)
#include "tst_consolehub.moc"
