// The hub with a real connection to a fake inspector daemon over a unix socket, from not paired to no
// longer listed; its inventory of applications and pages, and its entries with their counts.
#include "console/ConsoleHub.h"
#include "inspector/InspectorTiming.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"

#include <QJsonArray>
#include <QSignalSpy>
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
        InspectorTiming timing;
        timing.enableFallback = std::chrono::milliseconds(50);
        InspectorTiming::set(timing);
        FakeSimulator phone;
        QVERIFY(phone.start());
        phone.addApp({kPage.appID, u"Safari"_s, std::nullopt, std::nullopt});
        FakeInspectorDaemon::Page page = FakeInspectorDaemon::page(1, u"Shop"_s, u"https://shop.example/"_s);
        page.backlog = {QJsonObject{{"level", "error"}, {"text", "declined"}}}; // sent once the console is on
        phone.addPage(kPage.appID, page);
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

        // Evaluations wait, in order, for results of their page (there is no connection here).
        hub.setReading(std::nullopt);
        QStringList answers;
        for (const QString expression : {"first", "second"})
            hub.evaluate(expression, kPage,
                         [&, expression](ConsoleEntry entry) { answers << expression + entry.text; });
        for (const auto& [page, text] :
             {std::pair{kOther, "elsewhere"}, {kPage, "A"}, {kPage, "B"}, {kPage, "C"}})
            hub.append(entry(page, text, ConsoleLevel::error, 1, EntryKind::result));
        QCOMPARE(answers, (QStringList{"firstA", "secondB"})); // nobody waits for "C": just stored
        // Input and result entries never count, errors included: only the repeat does.
        QVERIFY(hub.unseen(kPhone) == 1 && hub.unseenProblems(kPhone) == 0);
    }

    void scopesAndHistory() {
        ConsoleHub hub(ConsoleHub::Discovery{});
        const PageKey pad{kPad, kPage.appID, 1};
        for (const auto& [page, text, at] : {std::tuple{kPage, "a1", 1000},
                                             {kOther, "b1", 1500},
                                             {kPage, "a2", 2000},
                                             {kOther, "b2", 2500},
                                             {pad, "x", 1200}})
            hub.append(entry(page, text, {}, at));
        QCOMPARE(texts(hub.entries(ConsoleScope::device(kPhone))),
                 (QStringList{"a1", "b1", "a2", "b2"})); // by time
        QCOMPARE(texts(hub.entries(ConsoleScope::app(AppKey{kPhone, kOther.appID}))),
                 (QStringList{"b1", "b2"}));

        for (int i = 0; i < ConsoleHub::kHistoryLimit - 1; ++i) // one more than the page keeps
            hub.append(entry(kOther, QString::number(i)));
        const QStringList kept = texts(hub.entries(ConsoleScope::page(kOther)));
        QVERIFY(kept.size() == ConsoleHub::kHistoryLimit && kept.first() == "b2"); // the oldest went
    }
};

QTEST_GUILESS_MAIN(TestConsoleHub)
#include "tst_consolehub.moc"
