// Inspector sessions on pages: targets, enabling, message ids, reassembly of pieces, console events
// through to entries, and the revival of sessions that stopped getting anywhere.
#include "ConnectionRig.h"

#include <QJsonArray>
#include <QTest>
#include <QThread>

#include <csignal>

using namespace std::chrono_literals;

namespace {

using Command = FakeInspectorDaemon::Command;
using Targets = FakeInspectorDaemon::Targets;

const QString kShop = ConnectionRig::kShop;
const QStringList kEnabling{"Inspector.enable", "Console.enable", "Runtime.enable", "Inspector.initialized"};

QStringList methods(const std::vector<Command>& commands) {
    QStringList list;
    for (const Command& command : commands)
        list.append(command.method);
    return list;
}

// Commands of one session, by sender.
std::vector<Command> sessionCommands(ConnectionRig& rig, const QString& sender) {
    std::vector<Command> found;
    for (const Command& command : rig.sim().allCommands())
        if (command.sender == sender)
            found.push_back(command);
    return found;
}

// Timing for pages that announce their target at once: a fallback long enough that the
// announcement always comes first, however loaded the machine.
InspectorTiming targetFirstTiming() {
    InspectorTiming timing = ConnectionRig::fastTiming();
    timing.enableFallback = 300ms;
    return timing;
}

} // namespace

class ConnectionSessionsTest : public QObject {
    Q_OBJECT

    static void open(ConnectionRig& rig, const std::vector<ConnectionRig::Page>& pages) {
        QVERIFY(rig.openShop(pages));
    }

    // Waits until the page's open session has sent its enabling commands `times` times.
    static QString waitEnabled(ConnectionRig& rig, qint64 pageID, int times = 1) {
        const auto session = rig.sim().waitForSession(kShop, pageID, 10s);
        if (!session)
            return {};
        const bool done = QTest::qWaitFor(
            [&] { return sessionCommands(rig, session->sender).size() >= std::size_t(4 * times); }, 10000);
        return done ? session->sender : QString();
    }

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void targetAnnouncedFirstIsEnabledThereOnly() {
        ConnectionRig rig(targetFirstTiming());
        open(rig, {webPage(1, Targets::atOnce, QStringLiteral("page-7"))});
        const QString sender = waitEnabled(rig, 1);
        QVERIFY(!sender.isEmpty());

        // Past the fallback: still only the four wrapped commands.
        QTest::qWait(400);
        const std::vector<Command> commands = sessionCommands(rig, sender);
        QCOMPARE(methods(commands), kEnabling);
        for (std::size_t i = 0; i < commands.size(); ++i) {
            QCOMPARE(commands[i].targetID, QStringLiteral("page-7"));
            // The inner command takes one id and its wrapper the next.
            QCOMPARE(commands[i].id, qint64(2 * i + 1));
            QCOMPARE(commands[i].wrapperID, std::optional<qint64>(2 * i + 2));
            QCOMPARE(commands[i].params, QJsonObject());
        }
    }

    void pageWithoutTargetIsEnabledDirectlyThenAgainOnALateTarget() {
        ConnectionRig rig;
        open(rig, {webPage(1, Targets::later)});
        const QString sender = waitEnabled(rig, 1);
        QVERIFY(!sender.isEmpty());
        std::vector<Command> commands = sessionCommands(rig, sender);
        QCOMPARE(methods(commands), kEnabling);
        for (std::size_t i = 0; i < 4; ++i) {
            QCOMPARE(commands[i].id, qint64(i + 1));
            QCOMPARE(commands[i].wrapperID, std::nullopt);
        }

        // A target announced later: enabled again, on it, with wrapped commands.
        rig.sim().announceTarget(kShop, 1, QStringLiteral("late-1"));
        QVERIFY(!waitEnabled(rig, 1, 2).isEmpty());
        commands = sessionCommands(rig, sender);
        QCOMPARE(methods(commands), kEnabling + kEnabling);
        for (std::size_t i = 4; i < 8; ++i) {
            QCOMPARE(commands[i].targetID, QStringLiteral("late-1"));
            QCOMPARE(commands[i].id, qint64(5 + 2 * (i - 4)));
            QCOMPARE(commands[i].wrapperID, std::optional<qint64>(commands[i].id + 1));
        }

        // A target of another kind changes nothing.
        rig.sim().sendEvent(kShop, 1, QStringLiteral("Target.targetCreated"),
                            {{"targetInfo", QJsonObject{{"targetId", "worker-1"}, {"type", "worker"}}}});
        rig.sim().sendConsole(kShop, 1, logMessage(QStringLiteral("after")));
        QTRY_COMPARE(rig.texts(), QStringList{"after"});
        QCOMPARE(sessionCommands(rig, sender).size(), std::size_t(8));
    }

    void requestsGoWrappedAndAreAnsweredByTheInnerId() {
        ConnectionRig rig(targetFirstTiming());
        open(rig, {webPage(1, Targets::atOnce, QStringLiteral("page-1"))});
        rig.sim().setAnswerer([](const Command& command) -> std::optional<FakeInspectorDaemon::Answer> {
            if (command.method == QLatin1String("Runtime.getProperties"))
                return FakeInspectorDaemon::Answer::result(
                    {{"properties", QJsonArray{QJsonObject{{"name", command.params.value("objectId")}}}}});
            return std::nullopt;
        });
        const QString sender = waitEnabled(rig, 1);
        QVERIFY(!sender.isEmpty());

        Answers answers;
        rig.connection().request(QStringLiteral("Runtime.getProperties"), {{"objectId", "obj-1"}},
                                 rig.key(kShop, 1), answers.handler());
        rig.connection().request(QStringLiteral("Runtime.getProperties"), {{"objectId", "obj-2"}},
                                 rig.key(kShop, 1), answers.handler());
        QTRY_COMPARE(answers.count(), 2);
        // Ids 1 to 8 went to the enabling commands and their wrappers.
        QCOMPARE(answers.body(0).value("id").toInteger(), qint64(9));
        QCOMPARE(answers.body(0).value("result"),
                 QJsonValue(QJsonObject{{"properties", QJsonArray{QJsonObject{{"name", "obj-1"}}}}}));
        QCOMPARE(answers.body(1).value("id").toInteger(), qint64(11));
        QCOMPARE(answers.threads, (QStringList{"tavolin.inspector.SIM-1", "tavolin.inspector.SIM-1"}));

        const std::vector<Command> commands = sessionCommands(rig, sender);
        QCOMPARE(commands.size(), std::size_t(6));
        QCOMPARE(commands[4].method, QStringLiteral("Runtime.getProperties"));
        QCOMPARE(commands[4].params, (QJsonObject{{"objectId", "obj-1"}}));
        QCOMPARE(commands[4].wrapperID, std::optional<qint64>(10));
        QCOMPARE(commands[5].wrapperID, std::optional<qint64>(12));

        // Responses that match nothing pending are ignored: a repeated one, an unknown id.
        const Command first = commands[4];
        rig.sim().respond(first, FakeInspectorDaemon::Answer::result({}));
        rig.sim().sendText(kShop, 1, R"({"id": 999, "result": {}})");
        rig.sim().sendConsole(kShop, 1, logMessage(QStringLiteral("still here")));
        QTRY_COMPARE(rig.texts(), QStringList{"still here"});
        QCOMPARE(answers.count(), 2);

        // A request for a page without a session sends nothing and never answers.
        rig.connection().request(QStringLiteral("Runtime.getProperties"), {}, rig.key(kShop, 42),
                                 answers.handler());
        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(answers.count(), 2);
        QCOMPARE(rig.sim().commands(kShop, 42).size(), std::size_t(0));
    }

    void provisionalCommitMovesToTheNewTarget() {
        ConnectionRig rig(targetFirstTiming());
        open(rig, {webPage(1, Targets::atOnce, QStringLiteral("page-1"))});
        rig.sim().setAnswerer([](const Command& command) -> std::optional<FakeInspectorDaemon::Answer> {
            if (command.method == QLatin1String("Runtime.evaluate"))
                return FakeInspectorDaemon::Answer::result(
                    {{"result", QJsonObject{{"type", "string"}, {"value", command.targetID}}}});
            return std::nullopt;
        });
        const QString sender = waitEnabled(rig, 1);
        QVERIFY(!sender.isEmpty());

        rig.sim().commitProvisional(kShop, 1, QStringLiteral("page-2"));
        QVERIFY(!waitEnabled(rig, 1, 2).isEmpty());
        std::vector<Command> commands = sessionCommands(rig, sender);
        QCOMPARE(methods(commands), kEnabling + kEnabling);
        for (std::size_t i = 4; i < 8; ++i)
            QCOMPARE(commands[i].targetID, QStringLiteral("page-2"));

        // Later commands go to the new target, and what it says arrives.
        rig.connection().evaluate(QStringLiteral("location.href"), rig.key(kShop, 1));
        QTRY_COMPARE(rig.results().size(), std::size_t(1));
        QCOMPARE(rig.results()[0].text, QStringLiteral("page-2"));
        commands = sessionCommands(rig, sender);
        QCOMPARE(commands.back().method, QStringLiteral("Runtime.evaluate"));
        QCOMPARE(commands.back().targetID, QStringLiteral("page-2"));

        // Every id of the session is used once, in increasing order.
        qint64 last = 0;
        for (const Command& command : commands) {
            QVERIFY(command.id > last);
            QCOMPARE(*command.wrapperID, command.id + 1);
            last = *command.wrapperID;
        }
    }

    void piecesAreReassembledPerSender() {
        ConnectionRig rig;
        open(rig, {webPage(1, Targets::atOnce, QStringLiteral("page-1")), webPage(2), webPage(3)});
        const QString first = waitEnabled(rig, 1);
        const QString second = waitEnabled(rig, 2);
        const QString third = waitEnabled(rig, 3);
        QVERIFY(!first.isEmpty() && !second.isEmpty() && !third.isEmpty());

        // Split by the service, addressed by sender and by application and page.
        rig.sim().sendConsole(kShop, 1, logMessage(QStringLiteral("wrapped in three")), {3, false});
        QTRY_COMPARE(rig.entries.size(), std::size_t(1));
        rig.sim().sendConsole(kShop, 2, logMessage(QStringLiteral("by page in four")), {4, true});
        QTRY_COMPARE(rig.entries.size(), std::size_t(2));

        // Pieces of two senders interleaved; the final piece counts whatever its selector.
        const QByteArray a =
            FakeInspectorDaemon::json({{"method", "Console.messageAdded"},
                                       {"params", QJsonObject{{"message", logMessage("from two")}}}});
        const QByteArray b =
            FakeInspectorDaemon::json({{"method", "Console.messageAdded"},
                                       {"params", QJsonObject{{"message", logMessage("from three")}}}});
        const QString data = QStringLiteral("_rpc_applicationSentData:");
        auto piece = [](const QString& sender, const char* kind, const QByteArray& bytes) {
            return QVariantMap{{"WIRDestinationKey", sender}, {QString::fromLatin1(kind), bytes}};
        };
        QVERIFY(rig.service().send(data, piece(second, "WIRPartialMessageKey", a.left(10))));
        QVERIFY(rig.service().send(data, piece(third, "WIRPartialMessageKey", b.left(7))));
        QVERIFY(rig.service().send(data, piece(second, "WIRPartialMessageKey", a.mid(10, 5))));
        QVERIFY(rig.service().send(data, piece(third, "WIRFinalMessageKey", b.mid(7))));
        QVERIFY(rig.service().send(QStringLiteral("_rpc_applicationSentListing:"),
                                   piece(second, "WIRFinalMessageKey", a.mid(15))));
        QTRY_COMPARE(rig.entries.size(), std::size_t(4));
        QCOMPARE(rig.texts(), (QStringList{"wrapped in three", "by page in four", "from three", "from two"}));
        QCOMPARE(rig.entries[0].page, rig.key(kShop, 1));
        QCOMPARE(rig.entries[1].page, rig.key(kShop, 2));
        QCOMPARE(rig.entries[2].page, rig.key(kShop, 3));
        QCOMPARE(rig.entries[3].page, rig.key(kShop, 2));
    }

    void malformedMessagesAreIgnored() {
        ConnectionRig rig(targetFirstTiming());
        open(rig, {webPage(1, Targets::atOnce, QStringLiteral("page-1")), webPage(2)});
        const QString wrapped = waitEnabled(rig, 1);
        const QString direct = waitEnabled(rig, 2);
        QVERIFY(!wrapped.isEmpty() && !direct.isEmpty());

        // Inside a target wrapper: text that is no JSON, JSON that is no object.
        rig.sim().sendText(kShop, 1, "console.log('not json'");
        rig.sim().sendText(kShop, 1, "[1, 2, 3]");
        rig.sim().sendEvent(kShop, 1, QStringLiteral("Target.dispatchMessageFromTarget"),
                            {{"targetId", "page-1"}, {"message", 42}});
        // Straight to the session: broken data, data of the wrong type, an unknown sender, no method,
        // a message without its "message".
        const QString data = QStringLiteral("_rpc_applicationSentData:");
        rig.service().send(
            data, {{"WIRDestinationKey", direct}, {"WIRMessageDataKey", QByteArray("{\"method\": ")}});
        rig.service().send(
            data,
            {{"WIRDestinationKey", direct},
             {"WIRMessageDataKey",
              FakeInspectorDaemon::json({{"method", "Console.messageAdded"}}).prepend("\"").append("\"")}});
        rig.service().send(data,
                           {{"WIRDestinationKey", direct}, {"WIRMessageDataKey", QStringLiteral("{}")}});
        rig.service().send(data, {{"WIRDestinationKey", QStringLiteral("NO-SUCH-SENDER")},
                                  {"WIRMessageDataKey",
                                   FakeInspectorDaemon::json({{"method", "Console.messagesCleared"}})}});
        rig.sim().sendText(kShop, 2, R"({"params": {}})");
        rig.sim().sendEvent(kShop, 2, QStringLiteral("Console.messageAdded"), {{"message", "text"}});
        rig.sim().sendEvent(kShop, 2, QStringLiteral("Console.unknownEvent"), {});

        // What follows still gets through, and nothing else came before it.
        rig.sim().sendConsole(kShop, 1, logMessage(QStringLiteral("one")));
        rig.sim().sendConsole(kShop, 2, logMessage(QStringLiteral("two")));
        QTRY_COMPARE(rig.entries.size(), std::size_t(2));
        QTest::qWait(100);
        QCOMPARE(rig.texts(), (QStringList{"one", "two"}));
        QVERIFY(rig.cleared.isEmpty());
        QCOMPARE(sessionCommands(rig, wrapped).size(), std::size_t(4));
    }

    void consoleMessagesBecomeEntries() {
        ConnectionRig rig;
        open(rig, {webPage(1), webPage(2, Targets::atOnce, QStringLiteral("page-1"))});
        QVERIFY(!waitEnabled(rig, 1).isEmpty());
        QVERIFY(!waitEnabled(rig, 2).isEmpty());

        // Format substitution, location and stack, on a page without targets.
        rig.sim().sendConsole(
            kShop, 1,
            {{"source", "console-api"},
             {"text", "unused"},
             {"url", "https://shop.example/static/app.js"},
             {"line", 12},
             {"parameters", QJsonArray{QJsonObject{{"type", "string"}, {"value", "%s has %d items"}},
                                       QJsonObject{{"type", "string"}, {"value", "cart"}},
                                       QJsonObject{{"type", "number"}, {"value", 3}, {"description", "3"}}}},
             {"stackTrace", QJsonArray{QJsonObject{{"functionName", "addToCart"}, {"lineNumber", 12}}}}});
        // An object with a preview, through a target. The formatting itself is the formatting suite's.
        const QJsonObject object{
            {"type", "object"},
            {"objectId", "obj-1"},
            {"description", "Object"},
            {"preview",
             QJsonObject{{"properties",
                          QJsonArray{QJsonObject{{"name", "a"}, {"type", "number"}, {"value", "1"}}}}}}};
        rig.sim().sendConsole(
            kShop, 2, {{"source", "console-api"}, {"level", "warning"}, {"parameters", QJsonArray{object}}});
        // An uncaught exception logs as an error; a repeat count comes along.
        rig.sim().sendConsole(kShop, 2,
                              {{"source", "javascript"}, {"level", "log"}, {"text", "ReferenceError: y"}});
        rig.sim().sendConsole(kShop, 2, {{"level", "info"}, {"text", "i"}, {"repeatCount", 4}});

        QTRY_COMPARE(rig.entries.size(), std::size_t(4));
        const ConsoleEntry& formatted = rig.entries[0];
        QCOMPARE(formatted.page, rig.key(kShop, 1));
        QCOMPARE(formatted.kind, EntryKind::message);
        QCOMPARE(formatted.text, QStringLiteral("cart has 3 items"));
        QCOMPARE(formatted.location(), std::optional<QString>("app.js:12"));
        QCOMPARE(formatted.stack.size(), 1);
        QCOMPARE(formatted.stack[0].function, QStringLiteral("addToCart"));
        QVERIFY(formatted.receivedAt.isValid());

        const ConsoleEntry& objects = rig.entries[1];
        QCOMPARE(objects.page, rig.key(kShop, 2));
        QCOMPARE(objects.level, ConsoleLevel::warning);
        QCOMPARE(objects.objects, (QList<RemoteObjectRef>{{"obj-1", "{a: 1}"}}));

        QCOMPARE(rig.entries[2].level, ConsoleLevel::error);
        QCOMPARE(rig.entries[3].source, QStringLiteral("other"));
        QCOMPARE(rig.entries[3].repeatCount, qint64(4));
        QVERIFY(rig.entries[0].id != rig.entries[1].id);
        QCOMPARE(rig.strayCallbacks(), 0);
    }

    void repeatsAndClearsKeepTheirPlace() {
        ConnectionRig rig;
        open(rig, {webPage(1), webPage(2, Targets::atOnce, QStringLiteral("page-1"))});
        QVERIFY(!waitEnabled(rig, 1).isEmpty());
        QVERIFY(!waitEnabled(rig, 2).isEmpty());

        rig.sim().sendConsole(kShop, 1, logMessage(QStringLiteral("first")));
        rig.sim().sendRepeat(kShop, 1, 3);
        rig.sim().sendRepeat(kShop, 2, std::nullopt);
        rig.sim().sendCleared(kShop, 2);
        rig.sim().sendConsole(kShop, 2, logMessage(QStringLiteral("second")));
        rig.sim().sendCleared(kShop, 1);
        rig.sim().sendRepeat(kShop, 1, 2);

        QTRY_COMPARE(rig.repeats.size(), 3);
        QTRY_COMPARE(rig.cleared.size(), 2);
        QStringList heard = rig.order;
        heard.removeAll(QStringLiteral("apps"));
        heard.removeAll(QStringLiteral("pages"));
        QCOMPARE(heard, (QStringList{"entry", "repeat", "repeat", "cleared", "entry", "cleared", "repeat"}));
        QCOMPARE(rig.texts(), (QStringList{"first", "second"}));
        // A repeat without a count counts one.
        QCOMPARE(rig.repeats, (QList<std::pair<PageKey, qint64>>{
                                  {rig.key(kShop, 1), 3}, {rig.key(kShop, 2), 1}, {rig.key(kShop, 1), 2}}));
        QCOMPARE(rig.cleared, (QList<PageKey>{rig.key(kShop, 2), rig.key(kShop, 1)}));

        // A burst from both pages, delivered in batches, keeps the same order.
        const int count = 2000;
        for (int i = 0; i < count; ++i) {
            rig.sim().sendConsole(kShop, 1 + i % 2, logMessage(QString::number(i)));
            if (i % 500 == 0)
                rig.sim().sendCleared(kShop, 1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.entries.size(), std::size_t(count + 2), 20000);
        QStringList expected;
        for (int i = 0; i < count; ++i)
            expected.append(QString::number(i));
        QCOMPARE(rig.texts().mid(2), expected);
        QCOMPARE(rig.entries.back().page, rig.key(kShop, 2));
        QList<int> clearedAfter;
        int entries = 0;
        for (const QString& event : rig.order) {
            entries += event == QLatin1String("entry") ? 1 : 0;
            if (event == QLatin1String("cleared"))
                clearedAfter.append(entries);
        }
        QCOMPARE(clearedAfter, (QList<int>{1, 2, 3, 503, 1003, 1503}));
        QCOMPARE(rig.strayCallbacks(), 0);
    }

    void sessionLeftWithoutTargetIsRevived() {
        ConnectionRig rig(targetFirstTiming());
        open(rig, {webPage(1, Targets::atOnce)});
        const QString sender = waitEnabled(rig, 1);
        QVERIFY(!sender.isEmpty());

        // The only target goes away and none follows: after the revival time the session is
        // closed and a fresh one opened on the page, which gets going again.
        // (Past the direct-enable fallback first: until then a page left without targets is
        // simply enabled directly.)
        QTest::qWait(400);
        rig.sim().destroyTarget(kShop, 1);
        QTRY_VERIFY_WITH_TIMEOUT(rig.closedSenders().contains(sender), 10000);
        QTRY_COMPARE(rig.setupCount(kShop, 1), 2);
        const QString fresh = rig.sim().sessions(kShop, 1).back().sender;
        QVERIFY(fresh != sender);
        QVERIFY(!waitEnabled(rig, 1).isEmpty());
        QCOMPARE(sessionCommands(rig, fresh).size(), std::size_t(4));
        QVERIFY(!sessionCommands(rig, fresh).front().targetID.isEmpty());

        // Once going, it is left alone.
        QVERIFY(rig.waitForPolls(5));
        QCOMPARE(rig.setupCount(kShop, 1), 2);
        QCOMPARE(rig.closedSenders(), QStringList{sender});
    }
};

QTEST_GUILESS_MAIN(ConnectionSessionsTest)
#include "tst_connection_sessions.moc"
