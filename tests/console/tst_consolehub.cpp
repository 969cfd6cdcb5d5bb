// The store's inventory of applications and pages, and its entries with their counts; the hub's
// connections are tested with a device in tst_device_hub.
#include "console/ConsoleHub.h"

#include <QSignalSpy>
#include <QTest>

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
        QSignalSpy unseenChanged(&hub, &ConsoleHub::unseenChanged);
        hub.setReading(kPhone);
        hub.append(entry(kPage, {}, ConsoleLevel::error));
        hub.append(entry(PageKey{kPad, kPage.appID, 1}, {}, ConsoleLevel::warning));
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
        QCOMPARE(hub.waitingCount(kPage), 2);
        for (const auto& [page, text] :
             {std::pair{kOther, "elsewhere"}, {kPage, "A"}, {kPage, "B"}, {kPage, "C"}})
            hub.append(entry(page, text, ConsoleLevel::error, 1, EntryKind::result));
        QCOMPARE(answers, (QStringList{"firstA", "secondB"})); // nobody waits for "C": just stored
        QCOMPARE(hub.waitingCount(kPage), 0);
        QCOMPARE(hub.entries(ConsoleScope::page(kPage)).value(1).source, QStringLiteral("console-input"));
        // Input and result entries never count, errors included.
        QCOMPARE((QList<qint64>{hub.unseen(kPhone), hub.unseenProblems(kPhone), hub.unseen(kPad),
                                hub.unseenProblems(kPad)}),
                 (QList<qint64>{1, 0, 1, 1}));
        hub.markSeen(kPad);
        hub.markSeen(kPad);
        QCOMPARE(hub.unseen().value(kPad, -1), 0);
        QCOMPARE(unseenChanged.count(), 3); // the iPad's message, the repeat, the first markSeen
    }

    void scopesHistoryAndClear() {
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

        for (int i = 0; i < ConsoleHub::kHistoryLimit; ++i)
            hub.append(entry(kOther, QString::number(i)));
        const QStringList kept = texts(hub.entries(ConsoleScope::page(kOther)));
        QCOMPARE(kept.size(), ConsoleHub::kHistoryLimit);
        QCOMPARE(kept.first(), QStringLiteral("0")); // the oldest went first
        QCOMPARE(kept.last(), QString::number(ConsoleHub::kHistoryLimit - 1));

        hub.clear(kPhone);
        QCOMPARE(hub.entryCount(kPage) + hub.entryCount(kOther) + hub.unseen(kPhone), 0);
        QCOMPARE(hub.entryCount(pad) + hub.unseen(kPad), 2);
    }
};

QTEST_GUILESS_MAIN(TestConsoleHub)
#include "tst_consolehub.moc"
