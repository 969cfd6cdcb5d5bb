// The inspector connection over a real unix socket against a fake simulator: applications and pages,
// the capture switch, how the link ends; sessions on targets, requests, pieces and bad input,
// console events in order, pages that stop answering, revival, and evaluation's single result.
#include "ConnectionRig.h"

#include <QRegularExpression>

#include <csignal>

using namespace std::chrono_literals;

namespace {

using Command = FakeInspectorDaemon::Command;
using Answer = FakeInspectorDaemon::Answer;
using Targets = FakeInspectorDaemon::Targets;

const QString kShop = ConnectionRig::kShop;
const QString kNotes = QStringLiteral("PID:1");
const QString kMail = QStringLiteral("PID:2");
const QString kSetup = QStringLiteral("_rpc_forwardSocketSetup:");
const QStringList kEnabling{"Inspector.enable", "Console.enable", "Runtime.enable", "Inspector.initialized"};
const QString kAgain = QStringLiteral("The page is answering again.");

// The fast timing with a fallback long enough that a target announced at once always comes
// first, however loaded the machine.
const InspectorTiming kTargetFirst{300ms, 200ms, 500ms, 1200ms, 500ms};

// Evaluations answer with the target they reached, or as `special` says; the rest stays silent.
std::optional<Answer> pageAnswers(const Command& command, const std::map<QString, Answer>& special = {}) {
    const auto answer = special.find(command.params.value("expression").toString());
    if (command.method == QLatin1String("Runtime.evaluate") && answer != special.end())
        return answer->second;
    if (command.method == QLatin1String("Runtime.evaluate"))
        return Answer::result({{"result", QJsonObject{{"type", "string"}, {"value", command.targetID}}}});
    return Answer::silence();
}

// Each command's id times 100 plus its wrapper's id (0 when it went unwrapped).
QList<qint64> ids(const std::vector<Command>& commands) {
    return pluck(commands,
                 [](const Command& command) { return command.id * 100 + command.wrapperID.value_or(0); });
}

QStringList names(const ConnectionRig& rig) {
    return pluck(rig.apps.value(rig.apps.size() - 1), [](const InspectorApp& app) { return app.name; });
}
QList<qint64> pageIDs(const ConnectionRig& rig) {
    return pluck(rig.lastPages(), [](const InspectorPage& page) { return page.key.pageID; });
}
qsizetype listings(ConnectionRig& rig, const QString& appID) {
    const auto asked = [](const auto& frame) { return frame.argument["WIRApplicationIdentifierKey"]; };
    return pluck(rig.frames("_rpc_forwardGetListing:"), asked).count(appID);
}

} // namespace

class TestConnection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void applicationsAndPagesArePublishedWhenTheyChange() {
        ConnectionRig rig;
        rig.sim().addApp({kNotes, std::nullopt, std::nullopt, std::nullopt});
        rig.sim().addApp({kMail, std::nullopt, "com.example.mail", std::nullopt});
        rig.sim().addPage(kNotes, webPage(5));
        ConnectionRig::Page script = webPage(2);
        script.type = QStringLiteral("WIRTypeJavaScript");
        ConnectionRig::Page local = FakeInspectorDaemon::page(3, "", "file:///site/index.html");
        local.type = std::nullopt;
        QVERIFY(rig.openShop(
            {FakeInspectorDaemon::page(1, "Checkout", "https://shop.example:8443/a/b"), script, local}));

        // Named by the name key, else the bundle identifier, else the identifier; pages by application
        // name, then short label. The script is no page and gets no session.
        QTRY_COMPARE(names(rig), (QStringList{kNotes, "Shop", "com.example.mail"}));
        QTRY_COMPARE(pageIDs(rig), (QList<qint64>{5, 3, 1}));
        const auto checkout = rig.sim().waitForSession(kShop, 1);
        QVERIFY(checkout && rig.sim().waitForSession(kShop, 3) && rig.sim().waitForSession(kNotes, 5));

        // The poll asks again and every report asks every application for its listing; the same
        // lists publish nothing and keep the sessions. Every frame names this connection.
        const qsizetype published = rig.apps.size() + rig.pages.size();
        QVERIFY(rig.waitForPolls(3));
        QTRY_VERIFY(listings(rig, kShop) >= 4 && listings(rig, kNotes) >= 4);
        QCOMPARE(rig.apps.size() + rig.pages.size(), published);
        for (const auto& frame : rig.service().received())
            QCOMPARE(frame.argument["WIRConnectionIdentifierKey"], rig.connection().connectionID());

        // An announced update keeps what it does not name; the name key wins.
        rig.sim().updateApp({kMail, "Mail", "com.example.mail", std::nullopt});
        QTRY_COMPARE(names(rig), (QStringList{"Mail", kNotes, "Shop"}));
        rig.sim().updateApp({kMail, std::nullopt, std::nullopt, std::nullopt});
        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(names(rig), (QStringList{"Mail", kNotes, "Shop"}));

        // Another client takes a page: ours is lost untold; released, a fresh one. A page that
        // leaves the listing is ended, and only that one.
        rig.sim().setHolder(kShop, 3, QStringLiteral("ANOTHER-CLIENT"));
        QTRY_VERIFY(rig.page(3)->claimedElsewhere);
        QVERIFY(rig.waitForPolls(2));
        rig.sim().setHolder(kShop, 3, std::nullopt);
        QTRY_COMPARE(rig.sim().sessions(kShop, 3).size(), size_t(2));
        rig.sim().removePage(kShop, 1);
        QTRY_COMPARE(pageIDs(rig), (QList<qint64>{5, 3}));
        QTRY_COMPARE(rig.closedSenders(), QStringList{checkout->sender});

        // Capture off ends every session; a new page then gets none, nor does the poll revive any.
        // On again, every free page is attached at once.
        rig.connection().setCapturing(false);
        QTRY_COMPARE(rig.closedSenders().size(), 3);
        rig.sim().addPage(kShop, webPage(4));
        QTRY_COMPARE(pageIDs(rig), (QList<qint64>{5, 3, 4}));
        QVERIFY(rig.waitForPolls(3));
        QCOMPARE(rig.frames(kSetup).size(), size_t(4));
        rig.connection().setCapturing(true);
        QTRY_COMPARE(rig.frames(kSetup).size(), size_t(7));

        // A disconnected application takes its pages and sessions along, untold; so does one
        // missing from a full list.
        rig.sim().removeApp(kNotes, true);
        QTRY_COMPARE(pageIDs(rig), (QList<qint64>{3, 4}));
        rig.sim().removeApp(kShop, false);
        QTRY_VERIFY(names(rig) == QStringList{"Mail"} && rig.lastPages().isEmpty());
        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(rig.closedSenders().size(), 3);
        QCOMPARE(rig.frames(kSetup).size(), size_t(7));
    }

    void linkEndsWithEmptyListsThenClose_data() {
        QTest::addColumn<bool>("cut");
        QTest::newRow("stopped by the owner") << false;
        QTest::newRow("stream cut mid-frame") << true;
    }
    void linkEndsWithEmptyListsThenClose() {
        QFETCH(bool, cut);
        ConnectionRig rig;
        QVERIFY(rig.openShop({webPage(1), webPage(2)}));
        QVERIFY(rig.waitEnabled(1) && rig.waitEnabled(2));
        const QByteArray frame = FakeInspectorService::encode("_rpc_applicationSentListing:", {{"a", 1}});
        if (cut && rig.service().sendRaw(frame.left(frame.size() / 2))) {
            rig.service().disconnect();
        } else {
            rig.connection().evaluate("1", rig.key(404)); // still waiting for a session: gives nothing
            rig.connection().stop();
        }
        // Stopped: both sessions are ended first. Cut: there is nobody left to tell.
        QTRY_COMPARE(rig.closes, 1);
        QCOMPARE(rig.closedSenders().size(), cut ? 0 : 2);
        QCOMPARE(rig.order.mid(rig.order.size() - 3), (QStringList{"apps", "pages", "close"}));
        QVERIFY(rig.apps.last().isEmpty() && rig.lastPages().isEmpty());
        QCOMPARE(rig.closeThread, ConnectionRig::kQueue);
        QTRY_COMPARE(rig.service().clientCount(), 0);
        // Nothing follows, not even the poll; a stop after the end changes nothing.
        const qsizetype heard = rig.order.size();
        const size_t frames = rig.service().received().size();
        rig.connection().stop();
        QTest::qWait(800);
        QCOMPARE(rig.order.size(), heard);
        QCOMPARE(rig.service().received().size(), frames);
    }

    void startFailsWithoutAService() {
        WebInspectorConnection connection("SIM-2", std::make_shared<UnixTransport>("/tmp/tv-none/none.sock"));
        connection.onClose = [] { qFatal("a link that never opened closed"); };
        QVERIFY(connection.start().has_value());
        connection.stop();
        QTest::qWait(300);
    }

    void sessionsAreEnabledOnTheirNewestTarget() {
        ConnectionRig rig(kTargetFirst);
        rig.sim().setAnswerer([](const Command& command) { return pageAnswers(command); });
        QVERIFY(rig.openShop({webPage(1, Targets::atOnce, "page-7"), webPage(2, Targets::later)}));
        const QString wrapped = rig.enabledSender(1);
        const QString direct = rig.enabledSender(2);
        QTest::qWait(400); // past the fallback: nothing more
        // Through a target a command takes one id and its wrapper the next; without, one each.
        QCOMPARE(ids(rig.commandsOf(wrapped)), (QList<qint64>{102, 304, 506, 708}));
        QCOMPARE(ids(rig.commandsOf(direct)), (QList<qint64>{100, 200, 300, 400}));
        QCOMPARE(pluck(rig.commandsOf(direct), [](const Command& c) { return c.method; }), kEnabling);

        // Requests are answered by their inner id, on the connection's queue; answers that match
        // nothing pending are ignored, and a page without a session gets nothing.
        rig.connection().request("Runtime.evaluate", {}, rig.key(1), rig.answer());
        rig.connection().request("Runtime.evaluate", {}, rig.key(42), rig.answer());
        QTRY_COMPARE(rig.answers.size(), 1);
        const QJsonObject result{{"result", QJsonObject{{"type", "string"}, {"value", "page-7"}}}};
        QCOMPARE(rig.answers[0],
                 (QJsonObject{{"id", 9}, {"result", result}, {"thread", ConnectionRig::kQueue}}));
        rig.sim().respond(rig.commandsOf(wrapped)[4], Answer::result({}));
        rig.sim().sendText(kShop, 1, R"({"id": 999, "result": {}})");

        // A committed navigation and a late target: enabled again there. A worker target is no page.
        rig.sim().commitProvisional(kShop, 1, "page-2");
        rig.sim().announceTarget(kShop, 2, "late-1");
        const QJsonObject worker{{"targetId", "worker-1"}, {"type", "worker"}};
        rig.sim().sendEvent(kShop, 2, "Target.targetCreated", {{"targetInfo", worker}});
        QVERIFY(rig.enabledSender(1, 2) == wrapped && rig.enabledSender(2, 2) == direct);
        rig.connection().evaluate("location.href", rig.key(1));
        rig.connection().evaluate("location.href", rig.key(2));
        QTRY_COMPARE(rig.texts(), (QStringList{"page-2", "late-1"}));
        QCOMPARE(ids(rig.commandsOf(wrapped)).mid(5), (QList<qint64>{1112, 1314, 1516, 1718, 1920}));
        QCOMPARE(ids(rig.commandsOf(direct)).mid(4), (QList<qint64>{506, 708, 910, 1112, 1314}));
        QCOMPARE(rig.answers.size(), 1);
        QVERIFY(rig.sim().commands(kShop, 42).empty());

        // Its targets gone and none following, after the revival time a session is ended and a
        // fresh one, which gets going again, opened and then left alone.
        rig.sim().destroyTarget(kShop, 1);
        QTRY_VERIFY_WITH_TIMEOUT(rig.closedSenders() == QStringList{wrapped}, 10000);
        const QString fresh = rig.enabledSender(1);
        QVERIFY(!fresh.isEmpty() && fresh != wrapped);
        QVERIFY(rig.waitForPolls(5));
        QCOMPARE(rig.sim().sessions(kShop, 1).size(), size_t(2));
        QCOMPARE(rig.commandsOf(fresh).size(), size_t(4));
    }

    void consoleEventsArriveWholeAndInOrder() {
        ConnectionRig rig;
        QVERIFY(rig.openShop({webPage(1), webPage(2, Targets::atOnce, "page-1"), webPage(3)}));
        const QString first = rig.enabledSender(1);
        const QString wrapped = rig.enabledSender(2);
        const QString third = rig.enabledSender(3);
        const auto send = [&](const QString& sender, const QString& key, const QVariant& data,
                              const QString& selector = "_rpc_applicationSentData:") {
            QVERIFY(rig.service().send(selector, {{"WIRDestinationKey", sender}, {key, data}}));
        };
        const auto message = [](const char* text) {
            const QJsonObject params{{"message", logMessage(text)}};
            return FakeInspectorDaemon::json({{"method", "Console.messageAdded"}, {"params", params}});
        };

        // Split by the service, addressed by sender and by application and page; pieces of two
        // senders interleaved, the final piece counting whatever its selector.
        rig.sim().sendConsole(kShop, 2, logMessage("wrapped in three"), {3, false});
        rig.sim().sendConsole(kShop, 1, logMessage("by page in four"), {4, true});
        const QByteArray a = message("from one");
        const QByteArray b = message("from three");
        send(first, "WIRPartialMessageKey", a.left(10));
        send(third, "WIRPartialMessageKey", b.left(7));
        send(first, "WIRPartialMessageKey", a.mid(10, 5));
        send(third, "WIRFinalMessageKey", b.mid(7));
        send(first, "WIRFinalMessageKey", a.mid(15), "_rpc_applicationSentListing:");

        // Ignored: inside a wrapper no JSON, no object, no text; data of the wrong type, an unknown
        // sender, no method, no "message" object.
        rig.sim().sendText(kShop, 2, "console.log('not json'");
        rig.sim().sendText(kShop, 2, "[1, 2, 3]");
        rig.sim().sendEvent(kShop, 2, "Target.dispatchMessageFromTarget", {{"message", 42}});
        const QByteArray cleared = FakeInspectorDaemon::json({{"method", "Console.messagesCleared"}});
        send(first, "WIRMessageDataKey", QString(cleared));
        send("NO-SUCH-SENDER", "WIRMessageDataKey", cleared);
        rig.sim().sendText(kShop, 1, R"({"params": {}})");
        rig.sim().sendEvent(kShop, 1, "Console.messageAdded", {{"message", "text"}});

        // Repeats (one without a count counts one) and clears keep their place among the entries.
        rig.sim().sendRepeat(kShop, 1, 3);
        rig.sim().sendRepeat(kShop, 2, std::nullopt);
        rig.sim().sendCleared(kShop, 2);
        rig.sim().sendConsole(kShop, 2, logMessage("last"));
        rig.sim().sendCleared(kShop, 1);
        const auto events = [&] { return rig.order.filter(QRegularExpression("^(entry|cleared|repeat)")); };
        const QStringList heard{"entry",      "entry",     "entry", "entry",    "repeat 1 3",
                                "repeat 2 1", "cleared 2", "entry", "cleared 1"};
        QTRY_COMPARE(events(), heard);
        QCOMPARE(rig.texts(),
                 (QStringList{"wrapped in three", "by page in four", "from three", "from one", "last"}));
        const auto pages = pluck(rig.entries, [](const ConsoleEntry& entry) { return entry.page.pageID; });
        QCOMPARE(pages, (QList<qint64>{2, 1, 3, 1, 2}));
        QCOMPARE(rig.commandsOf(wrapped).size(), size_t(4));

        // A burst from two pages, delivered in batches, keeps the same order.
        QStringList expected;
        for (int i = 0; i < 2000; ++i) {
            expected.append(QString::number(i));
            rig.sim().sendConsole(kShop, 1 + i % 2, logMessage(expected.last()));
            if (i % 500 == 0)
                rig.sim().sendCleared(kShop, 1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.entries.size(), size_t(2005), 20000);
        QCOMPARE(rig.texts().mid(5), expected);
        QCOMPARE(events().mid(heard.size()).indexOf("cleared 1", 2), 502);
        QCOMPARE(rig.strays.load(), 0);

        // A callback may drop the connection with more entries behind it in the same batch.
        rig.connection().onEntry = [&](ConsoleEntry entry) {
            rig.entries.push_back(entry);
            rig.dropConnection();
        };
        for (int i = 0; i < 500; ++i)
            rig.sim().sendConsole(kShop, 1, logMessage("more"));
        QTRY_COMPARE(rig.service().clientCount(), 0);
        QTest::qWait(200);
        QCOMPARE(rig.entries.size(), size_t(2006));
        QCOMPARE(rig.closes, 0);
    }

    // '\u{1F600}'.slice(0, 1) logged in a page arrives as an escaped lone surrogate; the message stays.
    void loneSurrogatesArriveAsReplacementCharacters() {
        ConnectionRig rig;
        QVERIFY(rig.openShop({webPage(1)}));
        QVERIFY(rig.waitEnabled(1));
        rig.sim().sendText(
            kShop, 1,
            R"j({"method": "Console.messageAdded", "params": {"message": {"source": )j"
            R"j("console-api", "level": "warning", "line": 3, "text": "\ud83d|\ude00|\ud83d\ude00"}}})j");
        QTRY_COMPARE(rig.texts(), QStringList{QString::fromUtf8("\uFFFD|\uFFFD|\U0001F600")});
        QCOMPARE(rig.entries[0].line, 3);
        QCOMPARE(rig.entries[0].level, ConsoleLevel::warning);
    }

    void pageThatStopsAnsweringIsReportedOncePerEpisode() {
        ConnectionRig rig;
        QVERIFY(rig.openShop({webPage(1), webPage(2)}));
        QVERIFY(rig.waitEnabled(1) && rig.waitEnabled(2));
        const auto unresponsive = [&](qint64 page) { return rig.page(page) && rig.page(page)->unresponsive; };
        const auto ask = [&] { rig.connection().request("Runtime.evaluate", {}, rig.key(1), rig.answer()); };
        const auto notices = [&] {
            return rig.texts().filter(QRegularExpression("^(This page has|The page is)"));
        };

        // Past the deadline each handler hears why and an evaluation gets its result; the page is
        // marked, with one warning. A second time-out in the same episode warns no more.
        ask();
        rig.connection().evaluate("while (true) {}", rig.key(1));
        QTRY_COMPARE_WITH_TIMEOUT(rig.texts().size(), 2, 10000);
        QCOMPARE(rig.answers.value(0)["error"].toObject()["message"],
                 "The page stopped answering, so Runtime.evaluate never came back.");
        QCOMPARE(rig.texts()[0], "The page stopped answering, so the expression you ran never came back.");
        QCOMPARE(rig.entries[1].level, ConsoleLevel::warning);
        QVERIFY(rig.entries[1].text.startsWith("This page has stopped answering. Its main thread is busy"));
        QTRY_VERIFY(unresponsive(1) && !unresponsive(2));
        ask();
        QTRY_COMPARE_WITH_TIMEOUT(rig.answers.size(), 2, 10000);

        // A console message ends the episode, its notice first; a second episode warns again, and
        // an answer ends it.
        rig.sim().sendConsole(kShop, 1, logMessage("back"));
        QTRY_COMPARE(rig.texts().mid(2), (QStringList{kAgain, "back"}));
        QTRY_VERIFY(!unresponsive(1));
        ask();
        QTRY_COMPARE_WITH_TIMEOUT(notices().size(), 3, 10000);
        rig.sim().setAnswerer([](const Command& command) { return pageAnswers(command); });
        ask();
        QTRY_VERIFY(!unresponsive(1));
        QCOMPARE(rig.answers.size(), 4);
        QCOMPARE(notices().mid(2), (QStringList{notices()[0], kAgain}));
    }

    void evaluationGivesOneResult() {
        ConnectionRig rig({60ms, 200ms, 500ms, 1200ms, 2000ms}); // a longer wait for a session
        const QJsonObject error{{"type", "object"}, {"description", "Error: boom"}, {"objectId", "e-1"}};
        const std::map<QString, Answer> special{
            {"boom()", Answer::result({{"result", error}, {"wasThrown", true}})},
            {"refused", Answer::error("Runtime domain is disabled")},
            {"vague", Answer::errorWithoutMessage()}};
        rig.sim().setAnswerer([&](const Command& command) { return pageAnswers(command, special); });
        QVERIFY(rig.openShop({webPage(1)}));
        QVERIFY(rig.waitEnabled(1));

        // Answered; on a page nobody lists (three times the same), and on one that shows up while it
        // waits, where it runs once enabled.
        for (const char* expression : {"boom()", "refused", "vague"})
            rig.connection().evaluate(expression, rig.key(1));
        for (const qint64 page : {404, 404, 404, 9})
            rig.connection().evaluate("1", rig.key(page));
        rig.sim().addPage(kShop, webPage(9));
        QTRY_COMPARE_WITH_TIMEOUT(rig.results().size(), size_t(7), 10000);
        const auto methods = pluck(rig.sim().commands(kShop, 9), [](const Command& c) { return c.method; });
        QCOMPARE(methods, kEnabling + QStringList{"Runtime.evaluate"});
        QStringList got = pluck(rig.results(), [](const ConsoleEntry& entry) {
            return QString("%1 %2 %3")
                .arg(entry.page.pageID)
                .arg(int(entry.level))
                .arg(entry.objects.value(0).objectID);
        });
        got.sort();
        QCOMPARE(got, (QStringList{"1 4 ", "1 4 ", "1 4 e-1", "404 4 ", "404 4 ", "404 4 ", "9 1 "}));
        const QString notAttached =
            QStringLiteral("This webview is not attached. It may have navigated or closed.");
        QCOMPARE(rig.texts().mid(0, 3),
                 (QStringList{"Error: boom", "Runtime domain is disabled", "evaluation failed"}));
        QCOMPARE(rig.texts().count(notAttached), 3);
        QTest::qWait(2000); // past the wait: nothing more
        QCOMPARE(rig.entries.size(), size_t(7));
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
