// The hub with real connections to a fake simulator over a unix socket, its inventory and its entry store.
#include "console/ConsoleHub.h"
#include "inspector/InspectorTiming.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString kPhone = QStringLiteral("11111111-1111-1111-1111-111111111111");
const QString kPad = QStringLiteral("22222222-2222-2222-2222-222222222222");
const PageKey kPage{kPhone, QStringLiteral("PID:1"), 1};

ConsoleEntry entry(const PageKey& page, const QString& text, ConsoleLevel level = ConsoleLevel::log,
                   qint64 at = 1, EntryKind kind = EntryKind::message) {
    return {.page = page,
            .level = level,
            .text = text,
            .receivedAt = QDateTime::fromMSecsSinceEpoch(at),
            .kind = kind};
}

} // namespace

class TestConsoleHub : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        InspectorTiming timing;
        timing.enableFallback = std::chrono::milliseconds(50);
        timing.poll = std::chrono::milliseconds(300);
        InspectorTiming::set(timing);
    }

    void connectionsReportAndEnd() {
        FakeSimulator phone;
        QVERIFY(phone.start());
        phone.addApp({kPage.appID, QStringLiteral("Safari"), std::nullopt, std::nullopt});
        phone.addPage(kPage.appID, FakeInspectorDaemon::page(1, QStringLiteral("A"),
                                                             QStringLiteral("https://a.example/")));
        phone.setAnswerer(
            [](const FakeInspectorDaemon::Command& command) -> std::optional<FakeInspectorDaemon::Answer> {
                if (command.method != QLatin1String("Runtime.getProperties"))
                    return std::nullopt;
                return FakeInspectorDaemon::Answer::result(
                    {{"properties", QJsonArray{QJsonObject{{"name", "a"}}}}});
            });
        ScriptedDiscovery script;
        // A simulator without a socket is neither connected nor in trouble.
        script.simulators = {
            ScriptedDiscovery::simulator(kPhone, QStringLiteral("iPhone"), phone.socketPath()),
            ScriptedDiscovery::simulator(kPad, QStringLiteral("iPad"), std::nullopt)};
        ConsoleHub hub(script.discovery());
        QSignalSpy devicesChanged(&hub, &ConsoleHub::devicesChanged);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QVERIFY(ScriptedDiscovery::scan(hub)); // the same devices: nobody is told, nothing new is connected
        QCOMPARE(devicesChanged.count(), 1);
        QCOMPARE(script.transportsMade.load(), 1);
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QVERIFY(hub.trouble().isEmpty());
        QTRY_COMPARE(hub.apps(kPhone).size(), 1);
        QVERIFY(phone.waitUntil([&] {
            const auto sessions = phone.openSessions(kPage.appID, 1);
            return !sessions.empty() && sessions.front().consoleEnabled;
        }));
        QCOMPARE(phone.log(kPage.appID, 1, QJsonObject{{"level", "warning"}, {"text", "low stock"}}), 1);
        QTRY_COMPARE(hub.unseenProblems(kPhone), 1);

        // Expanded objects are cached per device: asked once, forgotten when the device is cleared.
        QList<PropertyNode> rows;
        const auto expand = [&](const PageKey& page) {
            rows = {PropertyNode{}};
            hub.expand(QStringLiteral("obj-1"), page, [&](QList<PropertyNode> nodes) { rows = nodes; });
        };
        expand(kPage);
        QTRY_COMPARE(rows.value(0).name, QStringLiteral("a"));
        expand(kPage);
        QCOMPARE(rows.size(), 1); // from the cache, at once
        QCOMPARE(phone.commands(QStringLiteral("Runtime.getProperties")).size(), size_t(1));
        hub.clear(kPad);
        QCOMPARE(hub.properties().size(), 1);
        hub.clear(kPhone);
        QVERIFY(hub.properties().isEmpty());
        expand(PageKey{kPad, kPage.appID, 1}); // a device without a connection answers with nothing
        QVERIFY(rows.isEmpty());

        // A connection that ends drops everything of its device, which stays listed until the next scan.
        phone.service().disconnect();
        QTRY_VERIFY(hub.connectedDevices().isEmpty());
        QVERIFY(hub.pages(kPhone).isEmpty() && !hub.unseen().contains(kPhone));
        QCOMPARE(hub.devices().size(), 2);
        QVERIFY(ScriptedDiscovery::scan(hub));
        QTRY_COMPARE(hub.pages(kPhone).size(), 1);
        // The phone leaves the list: everything of it goes.
        {
            std::lock_guard guard(script.lock);
            script.simulators.removeFirst();
        }
        QVERIFY(ScriptedDiscovery::scan(hub));
        QCOMPARE(devicesChanged.count(), 2);
        QVERIFY(hub.connectedDevices().isEmpty() && hub.apps().isEmpty() && hub.pages().isEmpty());
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
            pages.append({.key = {kPhone, appID, id},
                          .title = title,
                          .overrideName = {},
                          .url = url,
                          .appName = appID[4] == '9' ? "browser" : "Shop"});
            inventory.replacePages(kPhone, pages);
            return PageKey{kPhone, appID, id};
        };
        add("PID:30", 1, "Page 10", "https://b.example/x");
        add("PID:30", 2, "page 9", "https://a.example/y");
        add("PID:30", 3, "Zeta", "https://A.example/z");
        const auto mark = inventory.mark(add("PID:7", 4, "Cart", "https://shop.example/cart?x=1"));
        add("PID:9", 5, "Docs", "https://docs.example/");

        // Applications with pages only, by name in code-point order, equal names by process id.
        QStringList seen;
        for (const InspectorApp& app : inventory.apps(kPhone))
            seen << app.key.appID;
        // Pages of an application in file-browser order of their titles.
        for (const InspectorPage& page : inventory.pages(AppKey{kPhone, QStringLiteral("PID:30")}))
            seen << page.title;
        // Pages of a device by application name, then by short label in code-point order.
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
        const PageKey pad{kPad, QStringLiteral("PID:1"), 1};
        QSignalSpy unseenChanged(&hub, &ConsoleHub::unseenChanged);
        hub.setReading(kPhone);
        hub.append(entry(kPage, {}, ConsoleLevel::error));
        hub.append(entry(pad, {}, ConsoleLevel::warning));
        // A repeat counts even while read, never as a problem, and needs an entry to repeat.
        hub.repeated(kPage, 3);
        hub.repeated(PageKey{kPhone, QStringLiteral("PID:2"), 9}, 2);
        QCOMPARE(hub.entries(ConsoleScope::page(kPage)).last().repeatCount, 3);

        // Evaluations wait, in order, for results of their page (there is no connection here).
        hub.setReading(std::nullopt);
        QStringList answers;
        for (const QString expression : {"first", "second"})
            hub.evaluate(expression, kPage,
                         [&, expression](ConsoleEntry entry) { answers << expression + entry.text; });
        QCOMPARE(hub.waitingCount(kPage), 2);
        hub.append(
            entry(PageKey{kPhone, kPage.appID, 2}, QStringLiteral("elsewhere"), {}, 1, EntryKind::result));
        for (const char* text : {"A", "B", "C"}) // nobody waits for "C": just stored
            hub.append(entry(kPage, text, ConsoleLevel::error, 1, EntryKind::result));
        QCOMPARE(answers, (QStringList{"firstA", "secondB"}));
        QCOMPARE(hub.waitingCount(kPage), 0);
        QCOMPARE(hub.entries(ConsoleScope::page(kPage)).value(1).source, QStringLiteral("console-input"));
        // Input and result entries never count, errors included.
        QCOMPARE((QList<qint64>{hub.unseen(kPhone), hub.unseenProblems(kPhone), hub.unseen(kPad),
                                hub.unseenProblems(kPad)}),
                 (QList<qint64>{1, 0, 1, 1}));
        const int before = unseenChanged.count();
        hub.markSeen(kPad);
        hub.markSeen(kPad);
        QCOMPARE(hub.unseen().value(kPad, -1), 0);
        QCOMPARE(unseenChanged.count(), before + 1);
    }

    void scopesHistoryAndClear() {
        ConsoleHub hub(ConsoleHub::Discovery{});
        const PageKey b{kPhone, QStringLiteral("PID:2"), 2}, other{kPad, QStringLiteral("PID:1"), 1};
        for (const auto& [page, text, at] : {std::tuple{kPage, "a1", 1000},
                                             {b, "b1", 1500},
                                             {kPage, "a2", 2000},
                                             {b, "b2", 2500},
                                             {other, "x", 1200}})
            hub.append(entry(page, text, ConsoleLevel::log, at));
        QStringList texts;
        for (const ConsoleEntry& entry : hub.entries(ConsoleScope::device(kPhone)))
            texts << entry.text;
        QCOMPARE(texts, (QStringList{"a1", "b1", "a2", "b2"})); // by time
        QCOMPARE(hub.entries(ConsoleScope::app(AppKey{kPhone, QStringLiteral("PID:2")})).size(), 2);

        for (int i = 0; i < ConsoleHub::kHistoryLimit; ++i)
            hub.append(entry(b, QString::number(i)));
        const QList<ConsoleEntry> kept = hub.entries(ConsoleScope::page(b));
        QCOMPARE(kept.size(), ConsoleHub::kHistoryLimit);
        QCOMPARE(kept.first().text, QStringLiteral("0")); // the oldest went first
        QCOMPARE(kept.last().text, QString::number(ConsoleHub::kHistoryLimit - 1));

        hub.clear(kPhone);
        QCOMPARE(hub.entryCount(kPage) + hub.entryCount(b) + hub.unseen(kPhone), 0);
        QCOMPARE(hub.entryCount(other) + hub.unseen(kPad), 2);
    }
};

QTEST_GUILESS_MAIN(TestConsoleHub)
#include "tst_consolehub.moc"
