// The hub with real connections to fake simulators over unix sockets, and its entry store.
#include "console/ConsoleHub.h"
#include "inspector/InspectorTiming.h"
#include "wire/UnixTransport.h"
#include "inspector/WebInspectorConnection.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"

#include <QBuffer>
#include <QJsonArray>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <mutex>

using namespace std::chrono_literals;

namespace {

const QString kPhone = QStringLiteral("11111111-1111-1111-1111-111111111111");
const QString kPad = QStringLiteral("22222222-2222-2222-2222-222222222222");

QByteArray png(int width) {
    QImage image(width, width, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

InspectableDevice simulator(const QString& udid, const QString& name, const QString& socket) {
    return ScriptedDiscovery::simulator(udid, name, socket);
}

bool scan(ConsoleHub& hub) { return ScriptedDiscovery::scan(hub); }

ConsoleEntry message(const PageKey& page, ConsoleLevel level = ConsoleLevel::log, const QString& text = {},
                     qint64 at = 0) {
    ConsoleEntry entry;
    entry.page = page;
    entry.level = level;
    entry.source = QStringLiteral("console-api");
    entry.text = text;
    entry.receivedAt = QDateTime::fromMSecsSinceEpoch(at ? at : QDateTime::currentMSecsSinceEpoch(), Qt::UTC);
    return entry;
}

ConsoleEntry result(const PageKey& page, const QString& text) {
    ConsoleEntry entry = message(page, ConsoleLevel::log, text);
    entry.kind = EntryKind::result;
    entry.source = QStringLiteral("console-input");
    return entry;
}

} // namespace

class ConsoleHubTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        InspectorTiming timing;
        timing.enableFallback = 50ms;
        timing.poll = 300ms;
        timing.revival = 1000ms;
        timing.requestDeadline = 1500ms;
        timing.queuedExpiry = 700ms;
        InspectorTiming::set(timing);
    }

    void scansConnectAndDropDevices() {
        FakeSimulator phone;
        QVERIFY(phone.start());
        phone.addApp({QStringLiteral("PID:10"), QStringLiteral("Safari"), std::nullopt, png(40)});
        phone.addPage(QStringLiteral("PID:10"), FakeInspectorDaemon::page(1, QStringLiteral("Shop"), QStringLiteral("https://shop.example/")));
        ScriptedDiscovery script;
        script.simulators = {simulator(kPhone, QStringLiteral("iPhone 15"), phone.socketPath()),
                             InspectableDevice{kPad, QStringLiteral("iPad"), QStringLiteral("iOS 17.5"),
                                               InspectableDevice::Kind::simulator, std::nullopt}};
        ConsoleHub hub(script.discovery());
        QSignalSpy devicesChanged(&hub, &ConsoleHub::devicesChanged);

        QVERIFY(scan(hub));
        QCOMPARE(devicesChanged.count(), 1);
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QVERIFY(hub.trouble().isEmpty()); // the simulator without a socket is neither connected nor in trouble
        QTRY_COMPARE(hub.pages(kPhone).size(), 1);
        QTRY_COMPARE(hub.apps(kPhone).size(), 1);
        QCOMPARE(hub.appIcons().value(AppKey{kPhone, QStringLiteral("PID:10")}).width(), 40);

        // The same devices again: nobody is told, nothing new is connected.
        const int made = script.transportsMade;
        QVERIFY(scan(hub));
        QCOMPARE(devicesChanged.count(), 1);
        QCOMPARE(script.transportsMade.load(), made);

        // Entries arrive through the connection.
        QVERIFY(phone.waitUntil([&] {
            const auto sessions = phone.openSessions(QStringLiteral("PID:10"), 1);
            return !sessions.empty() && sessions.front().consoleEnabled;
        }));
        QCOMPARE(phone.log(QStringLiteral("PID:10"), 1,
                           QJsonObject{{"level", "warning"}, {"source", "console-api"}, {"text", "low stock"}}),
                 1);
        QTRY_COMPARE(hub.unseen(kPhone), 1);
        QCOMPARE(hub.unseenProblems(kPhone), 1);

        // The phone vanishes: everything of it goes.
        {
            std::lock_guard guard(script.lock);
            script.simulators.removeFirst();
        }
        QVERIFY(scan(hub));
        QCOMPARE(devicesChanged.count(), 2);
        QVERIFY(hub.connectedDevices().isEmpty());
        QVERIFY(hub.pages(kPhone).isEmpty());
        QVERIFY(hub.apps().isEmpty());
        QVERIFY(hub.appIcons().isEmpty());
        QCOMPARE(hub.entries(ConsoleScope::device(kPhone)).size(), 0);
        QCOMPARE(hub.unseen().contains(kPhone), false);
    }

    void troubleTextsComeAndGo() {
        FakeSimulator device;
        QVERIFY(device.start());
        ScriptedDiscovery script;
        script.paired->store(false);
        script.devices = {InspectableDevice{kPhone, QStringLiteral("Phone"), QStringLiteral("iOS 17.5"),
                                            InspectableDevice::Kind::device, device.socketPath()}};
        ConsoleHub hub(script.discovery());
        QVERIFY(scan(hub));
        QCOMPARE(hub.trouble().value(kPhone), QStringLiteral("Not paired. Unlock the device and trust this Mac."));
        QVERIFY(hub.connectedDevices().isEmpty());
        script.paired->store(true);
        QVERIFY(scan(hub));
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QVERIFY(!hub.trouble().contains(kPhone));
    }

    void aConnectionThatEndsDropsItsDeviceUntilTheNextScan() {
        auto phone = std::make_unique<FakeSimulator>();
        QVERIFY(phone->start());
        phone->addApp({QStringLiteral("PID:10"), QStringLiteral("Safari"), std::nullopt, std::nullopt});
        phone->addPage(QStringLiteral("PID:10"), FakeInspectorDaemon::page(1, QStringLiteral("A"), QStringLiteral("https://a.example/")));
        const QString path = phone->socketPath();
        ScriptedDiscovery script;
        script.simulators = {simulator(kPhone, QStringLiteral("iPhone"), path)};
        ConsoleHub hub(script.discovery());
        QVERIFY(scan(hub));
        QTRY_COMPARE(hub.pages(kPhone).size(), 1);
        phone->service().disconnect();
        QTRY_VERIFY(hub.connectedDevices().isEmpty());
        QVERIFY(hub.pages(kPhone).isEmpty());
        QCOMPARE(hub.devices().size(), 1); // still listed, connected again by the next scan
        QVERIFY(scan(hub));
        QCOMPARE(hub.connectedDevices(), QStringList{kPhone});
        QTRY_COMPARE(hub.pages(kPhone).size(), 1);
    }

    void inventoryOrdersAndLookups() {
        FakeSimulator phone;
        QVERIFY(phone.start());
        phone.addApp({QStringLiteral("PID:30"), QStringLiteral("Shop"), std::nullopt, std::nullopt});
        phone.addApp({QStringLiteral("PID:7"), QStringLiteral("Shop"), std::nullopt, std::nullopt});
        phone.addApp({QStringLiteral("PID:5"), QStringLiteral("Empty"), std::nullopt, std::nullopt});
        phone.addApp({QStringLiteral("PID:9"), QStringLiteral("browser"), std::nullopt, png(16)});
        phone.addPage(QStringLiteral("PID:30"), FakeInspectorDaemon::page(1, QStringLiteral("Page 10"), QStringLiteral("https://b.example/x")));
        phone.addPage(QStringLiteral("PID:30"), FakeInspectorDaemon::page(2, QStringLiteral("page 9"), QStringLiteral("https://a.example/y")));
        phone.addPage(QStringLiteral("PID:30"), FakeInspectorDaemon::page(3, QStringLiteral("Zeta"), QStringLiteral("https://A.example/z")));
        phone.addPage(QStringLiteral("PID:7"), FakeInspectorDaemon::page(4, QStringLiteral("Cart"), QStringLiteral("https://shop.example/cart?x=1")));
        phone.addPage(QStringLiteral("PID:9"), FakeInspectorDaemon::page(5, QStringLiteral("Docs"), QStringLiteral("https://docs.example/")));
        ScriptedDiscovery script;
        script.simulators = {simulator(kPhone, QStringLiteral("iPhone 15"), phone.socketPath())};
        ConsoleHub hub(script.discovery());
        QVERIFY(scan(hub));
        QTRY_COMPARE(hub.pages(kPhone).size(), 5);
        QTRY_COMPARE(hub.apps().size(), 4);

        // Applications with pages only, by name in code-point order, equal names by process id.
        QStringList apps;
        for (const InspectorApp& app : hub.apps(kPhone))
            apps << app.name + QLatin1Char('/') + app.key.appID;
        QCOMPARE(apps, (QStringList{"Shop/PID:7", "Shop/PID:30", "browser/PID:9"}));

        // Pages of an application in file-browser order of their titles.
        QStringList titles;
        for (const InspectorPage& page : hub.pages(AppKey{kPhone, QStringLiteral("PID:30")}))
            titles << page.title;
        QCOMPARE(titles, (QStringList{"page 9", "Page 10", "Zeta"}));

        // Pages of a device by application, then by short label in code-point order.
        QStringList labels;
        for (const InspectorPage& page : hub.pages(kPhone))
            labels << page.shortLabel();
        // Both Shop applications first, their pages by label; "browser" sorts after capitals.
        QCOMPARE(labels, (QStringList{"a.example/y", "a.example/z", "b.example/x", "shop.example/cart", "docs.example"}));

        QCOMPARE(hub.app(QStringLiteral("browser"), kPhone), std::optional(AppKey{kPhone, QStringLiteral("PID:9")}));
        QCOMPARE(hub.app(QStringLiteral("Browser"), kPhone), std::nullopt);

        // Marks find a page again after a reload (new id, same URL) and after a query change.
        const PageKey cart{kPhone, QStringLiteral("PID:7"), 4};
        const auto mark = hub.mark(cart);
        QVERIFY(mark);
        QCOMPARE(mark->name, QStringLiteral("Cart"));
        phone.removePage(QStringLiteral("PID:7"), 4);
        phone.addPage(QStringLiteral("PID:7"), FakeInspectorDaemon::page(40, QStringLiteral("Cart"), QStringLiteral("https://shop.example/cart?x=1")));
        QTRY_VERIFY(hub.pages().contains(PageKey{kPhone, QStringLiteral("PID:7"), 40}));
        QCOMPARE(hub.page(*mark), std::optional(PageKey{kPhone, QStringLiteral("PID:7"), 40}));
        phone.removePage(QStringLiteral("PID:7"), 40);
        phone.addPage(QStringLiteral("PID:7"), FakeInspectorDaemon::page(41, QString(), QStringLiteral("http://shop.example/cart?x=2#top")));
        QTRY_VERIFY(hub.pages().contains(PageKey{kPhone, QStringLiteral("PID:7"), 41}));
        QCOMPARE(hub.page(*mark), std::optional(PageKey{kPhone, QStringLiteral("PID:7"), 41}));
        // A second page with the same host and path makes the stem ambiguous.
        phone.addPage(QStringLiteral("PID:7"), FakeInspectorDaemon::page(42, QString(), QStringLiteral("https://shop.example/cart?x=3")));
        QTRY_VERIFY(hub.pages().contains(PageKey{kPhone, QStringLiteral("PID:7"), 42}));
        QCOMPARE(hub.page(*mark), std::nullopt);
    }

    void windowTitlesFindTheirDevice() {
        ScriptedDiscovery script;
        script.simulators = {
            InspectableDevice{kPhone, QStringLiteral("iPhone"), QStringLiteral("iOS 17.5"), InspectableDevice::Kind::simulator, std::nullopt},
            InspectableDevice{kPad, QStringLiteral("iPhone Pro"), QStringLiteral("iOS 18.0"), InspectableDevice::Kind::simulator, std::nullopt}};
        script.devices = {InspectableDevice{QStringLiteral("D"), QString::fromUtf8("iPhone — iOS 17.5"), QStringLiteral("iOS 17.5"),
                                            InspectableDevice::Kind::device, std::nullopt}};
        ConsoleHub hub(script.discovery());
        QVERIFY(scan(hub));
        // The simulator's own title wins over a device named exactly like it.
        QCOMPARE(hub.device(QString::fromUtf8("iPhone — iOS 17.5"))->udid, kPhone);
        QCOMPARE(hub.device(QString::fromUtf8("iPhone Pro — iOS 18.0"))->udid, kPad);
        // A prefix finds the first simulator whose name begins the title.
        QCOMPARE(hub.device(QStringLiteral("iPhone Pro Max"))->udid, kPhone);
        QCOMPARE(hub.device(QStringLiteral("Watch")), std::nullopt);
    }

    void hoveringHighlightsOnePageAtATime() {
        FakeSimulator phone;
        QVERIFY(phone.start());
        ScriptedDiscovery script;
        script.simulators = {simulator(kPhone, QStringLiteral("iPhone"), phone.socketPath())};
        ConsoleHub hub(script.discovery());
        QVERIFY(scan(hub));
        const PageKey a{kPhone, QStringLiteral("PID:1"), 1}, b{kPhone, QStringLiteral("PID:1"), 2};
        auto indications = [&] {
            QStringList seen;
            for (const auto& frame : phone.service().received(QStringLiteral("_rpc_forwardIndicateWebView:")))
                seen << QStringLiteral("%1:%2").arg(frame.argument.value("WIRPageIdentifierKey").toLongLong())
                            .arg(frame.argument.value("WIRIndicateEnabledKey").toBool() ? "on" : "off");
            return seen;
        };
        hub.hover(a, true);
        hub.hover(b, true);
        hub.hover(b, true);
        hub.hover(a, false);
        QCOMPARE(hub.indicated(), std::optional(b));
        QTRY_COMPARE(indications(), (QStringList{"1:on", "1:off", "2:on"}));
        hub.hover(b, false);
        QTRY_COMPARE(indications().size(), 4);
        QCOMPARE(indications().last(), QStringLiteral("2:off"));
        QCOMPARE(hub.indicated(), std::nullopt);
    }

    void expandedObjectsAreCachedPerDevice() {
        FakeSimulator phone;
        QVERIFY(phone.start());
        phone.addApp({QStringLiteral("PID:10"), QStringLiteral("Safari"), std::nullopt, std::nullopt});
        phone.addPage(QStringLiteral("PID:10"), FakeInspectorDaemon::page(1, QStringLiteral("A"), QStringLiteral("https://a.example/")));
        std::atomic<int> asked{0};
        phone.setAnswerer([&](const FakeInspectorDaemon::Command& command) -> std::optional<FakeInspectorDaemon::Answer> {
            if (command.method != QLatin1String("Runtime.getProperties"))
                return std::nullopt;
            ++asked;
            return FakeInspectorDaemon::Answer::result(QJsonObject{
                {"properties", QJsonArray{QJsonObject{{"name", "b"}, {"value", QJsonObject{{"type", "number"}, {"value", 2}}}},
                                      QJsonObject{{"name", "a"}, {"value", QJsonObject{{"type", "string"}, {"value", "x"}}}}}}});
        });
        ScriptedDiscovery script;
        script.simulators = {simulator(kPhone, QStringLiteral("iPhone"), phone.socketPath())};
        ConsoleHub hub(script.discovery());
        QVERIFY(scan(hub));
        const PageKey page{kPhone, QStringLiteral("PID:10"), 1};
        QVERIFY(phone.waitUntil([&] {
            const auto sessions = phone.openSessions(QStringLiteral("PID:10"), 1);
            return !sessions.empty() && sessions.front().consoleEnabled;
        }));

        QList<PropertyNode> rows;
        hub.expand(QStringLiteral("obj-1"), page, [&](QList<PropertyNode> nodes) { rows = nodes; });
        QTRY_COMPARE(rows.size(), 2);
        QCOMPARE(rows[0].name, QStringLiteral("a"));
        QCOMPARE(rows[1].value, QStringLiteral("2"));
        rows.clear();
        hub.expand(QStringLiteral("obj-1"), page, [&](QList<PropertyNode> nodes) { rows = nodes; });
        QCOMPARE(rows.size(), 2); // from the cache, at once
        QCOMPARE(asked.load(), 1);

        hub.clear(kPad); // another device's clear leaves this cache alone
        QCOMPARE(hub.properties().size(), 1);
        hub.clear(kPhone);
        QVERIFY(hub.properties().isEmpty());
        rows.clear();
        hub.expand(QStringLiteral("obj-1"), page, [&](QList<PropertyNode> nodes) { rows = nodes; });
        QTRY_COMPARE(rows.size(), 2);
        QCOMPARE(asked.load(), 2);

        // A device without a connection answers with nothing.
        bool answered = false;
        hub.expand(QStringLiteral("obj-1"), PageKey{kPad, QStringLiteral("PID:1"), 1}, [&](QList<PropertyNode> nodes) {
            answered = nodes.isEmpty();
        });
        QVERIFY(answered);
    }

    void historyIsLimitedPerPage() {
        ConsoleHub hub(ConsoleHub::Discovery{});
        const PageKey page{kPhone, QStringLiteral("PID:1"), 1};
        for (int i = 0; i < 2000; ++i)
            hub.append(message(page, ConsoleLevel::log, QString::number(i)));
        QCOMPARE(hub.entryCount(page), 2000);
        QCOMPARE(hub.entries(ConsoleScope::page(page)).first().text, QStringLiteral("0"));
        hub.append(message(page, ConsoleLevel::log, QStringLiteral("2000")));
        const QList<ConsoleEntry> kept = hub.entries(ConsoleScope::page(page));
        QCOMPARE(kept.size(), 2000);
        QCOMPARE(kept.first().text, QStringLiteral("1"));
        QCOMPARE(kept.last().text, QStringLiteral("2000"));
    }

    void countsFollowReadingRepeatsAndKinds() {
        ConsoleHub hub(ConsoleHub::Discovery{});
        const PageKey phonePage{kPhone, QStringLiteral("PID:1"), 1};
        const PageKey padPage{kPad, QStringLiteral("PID:1"), 1};
        QSignalSpy unseenChanged(&hub, &ConsoleHub::unseenChanged);

        hub.setReading(kPhone);
        hub.append(message(phonePage, ConsoleLevel::error));
        QCOMPARE(hub.unseen(kPhone), 0);
        hub.append(message(padPage, ConsoleLevel::warning));
        QCOMPARE(hub.unseen(kPad), 1);
        QCOMPARE(hub.unseenProblems(kPad), 1);

        // A repeat counts even while read, never as a problem, and needs an entry to repeat.
        hub.repeated(phonePage, 3);
        QCOMPARE(hub.unseen(kPhone), 1);
        QCOMPARE(hub.unseenProblems(kPhone), 0);
        QCOMPARE(hub.entries(ConsoleScope::page(phonePage)).last().repeatCount, 3);
        hub.repeated(PageKey{kPhone, QStringLiteral("PID:2"), 9}, 2);
        QCOMPARE(hub.unseen(kPhone), 1);

        // Input and result entries never count, errors included.
        hub.setReading(std::nullopt);
        ConsoleEntry failed = result(phonePage, QStringLiteral("boom"));
        failed.level = ConsoleLevel::error;
        hub.append(std::move(failed));
        hub.evaluate(QStringLiteral("1+1"), phonePage);
        QCOMPARE(hub.unseen(kPhone), 1);
        QCOMPARE(hub.unseenProblems(kPhone), 0);

        const int before = unseenChanged.count();
        hub.markSeen(kPad);
        QCOMPARE(hub.unseen(kPad), 0);
        QCOMPARE(hub.unseen().contains(kPad), true);
        hub.markSeen(kPad);
        QCOMPARE(unseenChanged.count(), before + 1);
    }

    void evaluationsAnswerTheirCompletionsInOrder() {
        ConsoleHub hub(ConsoleHub::Discovery{});
        const PageKey page{kPhone, QStringLiteral("PID:1"), 1};
        QStringList answers;
        // No connection: both wait, in order, for results of the page.
        hub.evaluate(QStringLiteral("first"), page, [&](ConsoleEntry entry) { answers << "1:" + entry.text; });
        hub.evaluate(QStringLiteral("second"), page, [&](ConsoleEntry entry) { answers << "2:" + entry.text; });
        QCOMPARE(hub.waitingCount(page), 2);
        hub.append(result(PageKey{kPhone, QStringLiteral("PID:1"), 2}, QStringLiteral("other page")));
        QVERIFY(answers.isEmpty());
        hub.append(result(page, QStringLiteral("a")));
        hub.append(result(page, QStringLiteral("b")));
        hub.append(result(page, QStringLiteral("c"))); // nobody waits: just stored
        QCOMPARE(answers, (QStringList{"1:a", "2:b"}));
        QCOMPARE(hub.waitingCount(page), 0);
        const QList<ConsoleEntry> stored = hub.entries(ConsoleScope::page(page));
        QCOMPARE(stored.size(), 5);
        QCOMPARE(stored.first().kind, EntryKind::input);
        QCOMPARE(stored.first().source, QStringLiteral("console-input"));
    }

    void scopesClearsAndCleared() {
        ConsoleHub hub(ConsoleHub::Discovery{});
        const PageKey a{kPhone, QStringLiteral("PID:1"), 1}, b{kPhone, QStringLiteral("PID:2"), 2};
        const PageKey other{kPad, QStringLiteral("PID:1"), 1};
        hub.append(message(a, ConsoleLevel::log, QStringLiteral("a1"), 1000));
        hub.append(message(b, ConsoleLevel::log, QStringLiteral("b1"), 1500));
        hub.append(message(a, ConsoleLevel::log, QStringLiteral("a2"), 2000));
        hub.append(message(b, ConsoleLevel::error, QStringLiteral("b2"), 2000));
        hub.append(message(other, ConsoleLevel::log, QStringLiteral("x"), 1200));
        QStringList texts;
        for (const ConsoleEntry& entry : hub.entries(ConsoleScope::device(kPhone)))
            texts << entry.text;
        QCOMPARE(texts.mid(0, 2), (QStringList{"a1", "b1"}));
        QCOMPARE(texts.size(), 4);
        QVERIFY(texts.indexOf("a2") > 1 && texts.indexOf("b2") > 1);
        QCOMPARE(hub.entries(ConsoleScope::app(AppKey{kPhone, QStringLiteral("PID:2")})).size(), 2);
        QVERIFY(hub.entries(ConsoleScope::page(PageKey{kPhone, QStringLiteral("PID:9"), 9})).isEmpty());

        hub.clear(kPhone);
        QCOMPARE(hub.entryCount(a), 0);
        QCOMPARE(hub.entryCount(b), 0);
        QCOMPARE(hub.entryCount(other), 1);
        QCOMPARE(hub.unseen(kPhone), 0);
        QCOMPARE(hub.unseenProblems(kPhone), 0);
        QCOMPARE(hub.unseen(kPad), 1);
    }
};

QTEST_GUILESS_MAIN(ConsoleHubTest)
#include "tst_consolehub.moc"
