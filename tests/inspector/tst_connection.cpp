// The inspector connection over a real unix socket against a fake simulator: applications and pages,
// the capture switch, how the link ends; sessions on targets, requests, pieces and bad input,
// console events in order, pages that stop answering, revival, and evaluation's single result.
// Then page requests: what goes into the page's session, what comes back and on which thread, and
// what happens when the session or the connection ends.
#include "inspector/InspectorTiming.h"
#include "inspector/PageRequests.h"
#include "inspector/PageSessions.h"
#include "inspector/PartialMessages.h"
#include "inspector/WebInspectorConnection.h"
#include "support/FakeSimulator.h"
#include "wire/UnixTransport.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

using Page = FakeInspectorDaemon::Page;
using Command = FakeInspectorDaemon::Command;
using Answer = FakeInspectorDaemon::Answer;
using Targets = FakeInspectorDaemon::Targets;

const QString kDevice = QStringLiteral("SIM-1");
const QString kShop = QStringLiteral("PID:4711");
const QString kQueue = QStringLiteral("tavolin.inspector.SIM-1");
// Short timings keep the suite fast: fallback 60 ms, poll 200 ms, revival 500 ms, deadline 1200 ms,
// queued expiry 500 ms.
const InspectorTiming kFast{60ms, 200ms, 500ms, 1200ms, 500ms};

// f applied to each of a list's items.
template <typename List, typename F> auto pluck(const List& list, F f) {
    QList<std::decay_t<decltype(f(*list.begin()))>> values;
    for (const auto& item : list)
        values.append(f(item));
    return values;
}

// A real connection over a real unix socket to a fake simulator, with everything the connection
// reports to its owner recorded on the test's main thread.
class ConnectionRig : public QObject {
public:
    // Starts the fake simulator and builds the connection (not started yet) with `timing`; every
    // callback is recorded, with its name and whether it came on the main thread.
    explicit ConnectionRig(const InspectorTiming& timing = kFast) : sim(std::make_unique<FakeSimulator>()) {
        sim->start();
        InspectorTiming::set(timing);
        connection = std::make_unique<WebInspectorConnection>(
            kDevice, std::make_shared<UnixTransport>(sim->socketPath()));
        InspectorTiming::set(InspectorTiming());
        connection->onApps = [this](QList<InspectorApp> list) { heard("apps", apps, std::move(list)); };
        connection->onPages = [this](QList<InspectorPage> list) { heard("pages", pages, std::move(list)); };
        connection->onEntry = [this](ConsoleEntry entry) { heard("entry", entries, std::move(entry)); };
        connection->onCleared = [this](ConnectionEvents::Cleared c) {
            heard(QString("cleared %1").arg(c.page.pageID));
        };
        connection->onRepeat = [this](PageKey key, qint64 n) {
            heard(QString("repeat %1 %2").arg(key.pageID).arg(n));
        };
        // On the connection's queue; the owner hops to its own thread, as the hub does.
        connection->onClose = [this] {
            QMetaObject::invokeMethod(this, [this, thread = QThread::currentThread()->objectName()] {
                closeThread = thread;
                ++closes;
                heard("close");
            });
        };
    }

    FakeInspectorService& service() { return sim->service(); }
    PageKey key(qint64 pageID) const { return {kDevice, kShop, pageID}; }

    // The Shop application with `pages` (other applications added before stay), then start() and
    // setCapturing(true), the way the owner does it. False when start failed.
    bool openShop(const std::vector<Page>& pages) {
        sim->addApp({kShop, QStringLiteral("Shop"), std::nullopt, std::nullopt});
        for (const Page& page : pages)
            sim->addPage(kShop, page);
        if (connection->start())
            return false;
        connection->setCapturing(true);
        return true;
    }
    // The sender of the Shop page's open session once it has sent its enabling commands `times`
    // times; empty when it does not.
    QString enabledSender(qint64 pageID, int times = 1) {
        const auto session = sim->waitForSession(kShop, pageID, std::chrono::seconds(10));
        const auto enabled = [&] { return commandsOf(session->sender).size() >= std::size_t(4 * times); };
        return session && QTest::qWaitFor(enabled, 10000) ? session->sender : QString();
    }

    // Recorded on the main thread, in order. `order` names each callback: "apps", "pages", "entry",
    // "cleared <page>", "repeat <page> <count>", "close".
    QList<QList<InspectorApp>> apps;
    QList<QList<InspectorPage>> pages;
    std::vector<ConsoleEntry> entries;
    QStringList order;
    int closes = 0;
    QString closeThread;        // where onClose ran
    std::atomic<int> strays{0}; // callbacks that arrived off the main thread
    QList<QJsonObject> answers; // what request handlers got, with the thread they ran on

    WebInspectorConnection::ResponseHandler answer() {
        return [this](simdjson::dom::element response) {
            QJsonObject body =
                QJsonDocument::fromJson(QByteArray::fromStdString(simdjson::minify(response))).object();
            body.insert("thread", QThread::currentThread()->objectName());
            QMetaObject::invokeMethod(this, [this, body] { answers.append(body); });
        };
    }
    QList<InspectorPage> lastPages() const { return pages.isEmpty() ? QList<InspectorPage>() : pages.last(); }
    std::optional<InspectorPage> page(qint64 pageID) const {
        for (const InspectorPage& page : lastPages())
            if (page.key == key(pageID))
                return page;
        return std::nullopt;
    }
    QStringList texts() const {
        return pluck(entries, [](const ConsoleEntry& e) { return e.text; });
    }
    std::vector<ConsoleEntry> results() const {
        std::vector<ConsoleEntry> found = entries;
        std::erase_if(found, [](const ConsoleEntry& entry) { return entry.kind != EntryKind::result; });
        return found;
    }
    std::vector<Command> commandsOf(const QString& sender) const {
        std::vector<Command> found = sim->allCommands();
        std::erase_if(found, [&](const Command& command) { return command.sender != sender; });
        return found;
    }
    // The senders of the sessions we ended.
    QStringList closedSenders() {
        return pluck(service().received("_rpc_forwardDidClose:"),
                     [](const auto& f) { return f.argument["WIRSenderKey"].toString(); });
    }
    // Lets the event loop run until the connection has polled `count` more times.
    bool waitForPolls(int count) {
        const auto polls = [&] { return service().received("_rpc_getConnectedApplications:").size(); };
        const std::size_t target = polls() + std::size_t(count);
        return QTest::qWaitFor([&] { return polls() >= target; }, 10000);
    }

    // In this order, so that the connection goes first; resetting it is the owner dropping it.
    std::unique_ptr<FakeSimulator> sim;
    std::unique_ptr<WebInspectorConnection> connection;

private:
    // Notes a callback, and keeps what it delivered in `into`.
    template <typename List, typename Item> void heard(const QString& what, List& into, Item item) {
        into.push_back(std::move(item));
        heard(what);
    }
    void heard(const QString& what) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            ++strays;
        order.append(what);
    }
};

// "Page <id>" at https://shop.example/<id>.
Page webPage(qint64 id, Targets targets = {}, QString target = {}) {
    auto page =
        FakeInspectorDaemon::page(id, QString("Page %1").arg(id), QString("https://shop.example/%1").arg(id));
    page.targets = targets;
    page.target = std::move(target);
    return page;
}

// A console message of the console API.
QJsonObject logMessage(const QString& text) {
    return {{"source", "console-api"}, {"level", "log"}, {"type", "log"}, {"text", text}};
}

const QString kNotes = QStringLiteral("PID:1");
const QString kMail = QStringLiteral("PID:2");
const QString kSetup = QStringLiteral("_rpc_forwardSocketSetup:");
const QStringList kEnabling{"Inspector.enable", "Console.enable", "Runtime.enable", "Inspector.initialized"};
const QString kAgain = QStringLiteral("The page is answering again.");

// The fast timing with a fallback long enough that a target announced at once always comes
// first, however loaded the machine.
const InspectorTiming kTargetFirst{300ms, 200ms, 500ms, 1200ms, 500ms};

const QJsonObject kChild{{"name", "a"}, {"value", QJsonObject{{"objectId", "child-1"}}}};

// Answers the way a page does: evaluations as `special` says, else with completion names, the
// page's size or the target they reached; enabling a domain by default; the rest stays silent.
std::optional<Answer> pageAnswers(const Command& command, const std::map<QString, Answer>& special = {}) {
    const auto value = [](const QJsonValue& v) {
        return Answer::result({{"result", QJsonObject{{"type", "string"}, {"value", v}}}});
    };
    const QJsonObject& params = command.params;
    const auto answer = special.find(params.value("expression").toString());
    if (command.method == "Runtime.evaluate" && answer != special.end())
        return answer->second;
    if (command.method == "Runtime.evaluate")
        return params["objectGroup"] == "completion"                 ? value(QJsonArray{"body", "head"})
               : params["expression"].toString().startsWith("JSON.") ? value("[390,844]")
                                                                     : value(command.targetID);
    if (command.method == "Runtime.getProperties")
        return params["objectId"] == "gone" ? Answer::error("Could not find object")
                                            : Answer::result({{"properties", QJsonArray{kChild}}});
    if (command.method == "Runtime.callFunctionOn")
        return value("{}");
    if (command.method == "Page.snapshotRect")
        return Answer::result({{"dataURL", "data:;base64,aGVsbG8="}});
    return command.method == "Page.enable" ? std::nullopt : std::optional(Answer::silence());
}

QStringList names(const ConnectionRig& rig) {
    return pluck(rig.apps.value(rig.apps.size() - 1), [](const InspectorApp& app) { return app.name; });
}
QList<qint64> pageIDs(const ConnectionRig& rig) {
    return pluck(rig.lastPages(), [](const InspectorPage& page) { return page.key.pageID; });
}

// What completions delivered, as text, and how many arrived off the main thread.
struct Delivered {
    QStringList got;
    int offMainThread = 0;

    // A completion for any request.
    auto to() {
        return [this](auto value) {
            offMainThread += QThread::currentThread() != QCoreApplication::instance()->thread();
            got << show(value);
        };
    }
    static QString show(const QStringList& names) { return "names " + names.join(u','); }
    static QString show(const std::optional<QString>& text) { return "text " + text.value_or("-"); }
    static QString show(const std::optional<QByteArray>& image) { return "image " + image.value_or("-"); }
    static QString show(const QList<PropertyNode>& rows) {
        const PropertyNode row = rows.value(0);
        return row.name + u'=' + row.value + (row.objectID ? u'#' + *row.objectID : QString());
    }
};

// The Shop application with `pages`, capturing, every page enabled; answering the way a page does,
// or when not `answering` only the enabling commands.
struct Rig : ConnectionRig {
    explicit Rig(const std::vector<Page>& pages, bool answering = true, const InspectorTiming& timing = kFast)
        : ConnectionRig(timing) {
        if (answering)
            sim->setAnswerer([](const Command& command) { return pageAnswers(command); });
        QVERIFY(openShop(pages));
        for (const Page& page : pages)
            QVERIFY(!enabledSender(page.id).isEmpty());
    }
};

} // namespace

class TestConnection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void applicationsAndPagesArePublishedWhenTheyChange() {
        ConnectionRig rig;
        rig.sim->addApp({kNotes, std::nullopt, std::nullopt, std::nullopt});
        rig.sim->addApp({kMail, std::nullopt, "com.example.mail", std::nullopt});
        rig.sim->addPage(kNotes, webPage(5));
        Page script = webPage(2);
        script.type = QStringLiteral("WIRTypeJavaScript");
        Page local = FakeInspectorDaemon::page(3, "", "file:///site/index.html");
        local.type = std::nullopt;
        QVERIFY(rig.openShop(
            {FakeInspectorDaemon::page(1, "Checkout", "https://shop.example:8443/a/b"), script, local}));

        // Named by the name key, else the bundle identifier, else the identifier; pages by application
        // name, then short label. The script is no page and gets no session.
        QTRY_COMPARE(names(rig), (QStringList{kNotes, "Shop", "com.example.mail"}));
        QTRY_COMPARE(pageIDs(rig), (QList<qint64>{5, 3, 1}));
        const auto checkout = rig.sim->waitForSession(kShop, 1);
        QVERIFY(checkout && rig.sim->waitForSession(kShop, 3) && rig.sim->waitForSession(kNotes, 5));

        // The poll asks again; the same lists publish nothing and keep the sessions. Every frame names
        // this connection.
        const qsizetype published = rig.apps.size() + rig.pages.size();
        QVERIFY(rig.waitForPolls(3));
        QCOMPARE(rig.apps.size() + rig.pages.size(), published);
        for (const auto& frame : rig.service().received())
            QCOMPARE(frame.argument["WIRConnectionIdentifierKey"], rig.connection->connectionID());

        // An announced update keeps what it does not name; the name key wins.
        rig.sim->updateApp({kMail, "Mail", "com.example.mail", std::nullopt});
        QTRY_COMPARE(names(rig), (QStringList{"Mail", kNotes, "Shop"}));
        rig.sim->updateApp({kMail, std::nullopt, std::nullopt, std::nullopt});
        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(names(rig), (QStringList{"Mail", kNotes, "Shop"}));

        // Another client takes a page: ours is lost untold; released, a fresh one. A page that
        // leaves the listing is ended, and only that one.
        rig.sim->setHolder(kShop, 3, QStringLiteral("ANOTHER-CLIENT"));
        QTRY_VERIFY(rig.page(3)->claimedElsewhere);
        QVERIFY(rig.waitForPolls(2));
        rig.sim->setHolder(kShop, 3, std::nullopt);
        QTRY_COMPARE(rig.sim->sessions(kShop, 3).size(), size_t(2));
        rig.sim->removePage(kShop, 1);
        QTRY_COMPARE(pageIDs(rig), (QList<qint64>{5, 3}));
        QTRY_COMPARE(rig.closedSenders(), QStringList{checkout->sender});

        // Capture off ends every session; a new page then gets none, nor does the poll revive any.
        // On again, every free page is attached at once.
        rig.connection->setCapturing(false);
        QTRY_COMPARE(rig.closedSenders().size(), 3);
        rig.sim->addPage(kShop, webPage(4));
        QTRY_COMPARE(pageIDs(rig), (QList<qint64>{5, 3, 4}));
        QVERIFY(rig.waitForPolls(3));
        QCOMPARE(rig.service().received(kSetup).size(), size_t(4));
        rig.connection->setCapturing(true);
        QTRY_COMPARE(rig.service().received(kSetup).size(), size_t(7));

        // A disconnected application takes its pages and sessions along, untold; so does one
        // missing from a full list.
        rig.sim->removeApp(kNotes, true);
        QTRY_COMPARE(pageIDs(rig), (QList<qint64>{3, 4}));
        rig.sim->removeApp(kShop, false);
        QTRY_VERIFY(names(rig) == QStringList{"Mail"} && rig.lastPages().isEmpty());
        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(rig.closedSenders().size(), 3);
        QCOMPARE(rig.service().received(kSetup).size(), size_t(7));
    }

    void linkEndsWithEmptyListsThenClose() {
        // Stopped by the owner, then the stream cut mid-frame.
        for (const bool cut : {false, true}) {
            Rig rig({webPage(1), webPage(2)}, false);
            const QByteArray frame = FakeInspectorService::encode("_rpc_applicationSentListing:", {{"a", 1}});
            if (cut && rig.service().sendRaw(frame.left(frame.size() / 2))) {
                rig.service().disconnect();
            } else {
                // One waiting for a session gives nothing; one the page never answered is told it ended.
                rig.connection->evaluate("1", rig.key(404));
                rig.connection->evaluate("slow()", rig.key(1));
                rig.connection->stop();
            }
            // Stopped: both sessions are ended first. Cut: there is nobody left to tell.
            QTRY_COMPARE(rig.closes, 1);
            QTRY_COMPARE(rig.closedSenders().size(), cut ? 0 : 2); // the service may still be reading
            QCOMPARE(rig.order.mid(rig.order.size() - 3), (QStringList{"apps", "pages", "close"}));
            QVERIFY(rig.apps.last().isEmpty() && rig.lastPages().isEmpty());
            QCOMPARE(rig.closeThread, kQueue);
            QTRY_COMPARE(rig.service().clientCount(), 0);
            // Nothing follows, not even the poll; a stop after the end changes nothing.
            const qsizetype heard = rig.order.size();
            const size_t frames = rig.service().received().size();
            rig.connection->stop();
            QTest::qWait(800);
            QCOMPARE(rig.order.size(), heard);
            QCOMPARE(rig.texts(), cut ? QStringList() : QStringList{PageSessions::kNotAttached});
            QCOMPARE(rig.service().received().size(), frames);
        }
    }

    void startFailsWithoutAService() {
        WebInspectorConnection connection("SIM-2", std::make_shared<UnixTransport>("/tmp/tv-none/none.sock"));
        connection.onClose = [] { qFatal("a link that never opened closed"); };
        QVERIFY(connection.start().has_value());
        connection.stop();
        QTest::qWait(300);
    }

    void sessionsAreEnabledOnTheirNewestTarget() {
        Rig rig({webPage(1, Targets::atOnce, "page-7"), webPage(2, Targets::later)}, true, kTargetFirst);
        const QString wrapped = rig.enabledSender(1);
        const QString direct = rig.enabledSender(2);
        QTest::qWait(400); // past the fallback: nothing more
        // Through a target each command is wrapped, with an id of its own.
        for (const Command& command : rig.commandsOf(wrapped))
            QVERIFY(command.wrapperID && command.wrapperID != command.id);
        QCOMPARE(pluck(rig.commandsOf(direct), [](const Command& c) { return c.method; }), kEnabling);

        // Requests are answered by their inner id, on the connection's queue; answers that match
        // nothing pending are ignored, and a page without a session gets nothing.
        rig.connection->request("Runtime.evaluate", {}, rig.key(1), rig.answer());
        rig.connection->request("Runtime.evaluate", {}, rig.key(42), rig.answer());
        QTRY_COMPARE(rig.answers.size(), 1);
        const QJsonObject result{{"result", QJsonObject{{"type", "string"}, {"value", "page-7"}}}};
        QCOMPARE(rig.answers[0], (QJsonObject{{"id", 9}, {"result", result}, {"thread", kQueue}}));
        rig.sim->respond(rig.commandsOf(wrapped)[4], Answer::result({}));
        rig.sim->sendText(kShop, 1, R"({"id": 999, "result": {}})");

        // A committed navigation and a late target: enabled again there. A worker target is no page.
        rig.sim->commitProvisional(kShop, 1, "page-2");
        rig.sim->announceTarget(kShop, 2, "late-1");
        const QJsonObject worker{{"targetId", "worker-1"}, {"type", "worker"}};
        rig.sim->sendEvent(kShop, 2, "Target.targetCreated", {{"targetInfo", worker}});
        QVERIFY(rig.enabledSender(1, 2) == wrapped && rig.enabledSender(2, 2) == direct);
        rig.connection->evaluate("location.href", rig.key(1));
        rig.connection->evaluate("location.href", rig.key(2));
        QTRY_COMPARE(rig.texts(), (QStringList{"page-2", "late-1"}));
        QCOMPARE(rig.answers.size(), 1);
        QVERIFY(rig.sim->commands(kShop, 42).empty());

        // Its targets gone and none following, after the revival time a session is ended and a
        // fresh one, which gets going again, opened and then left alone.
        rig.sim->destroyTarget(kShop, 1);
        QTRY_VERIFY_WITH_TIMEOUT(rig.closedSenders() == QStringList{wrapped}, 10000);
        const QString fresh = rig.enabledSender(1);
        QVERIFY(!fresh.isEmpty() && fresh != wrapped);
        QVERIFY(rig.waitForPolls(5));
        QCOMPARE(rig.sim->sessions(kShop, 1).size(), size_t(2));
        QCOMPARE(rig.commandsOf(fresh).size(), size_t(4));
    }

    void consoleEventsArriveWholeAndInOrder() {
        Rig rig({webPage(1), webPage(2, Targets::atOnce, "page-1")}, false);
        const QString first = rig.enabledSender(1);
        const QString wrapped = rig.enabledSender(2);
        const auto send = [&](const QString& sender, const QString& key, const QVariant& data,
                              const QString& selector = "_rpc_applicationSentData:") {
            QVERIFY(rig.service().send(selector, {{"WIRDestinationKey", sender}, {key, data}}));
        };
        const auto message = [](const char* text) {
            const QJsonObject params{{"message", logMessage(text)}};
            return FakeInspectorDaemon::json({{"method", "Console.messageAdded"}, {"params", params}});
        };

        // Split by the service, addressed by sender and by application and page; a final piece counts
        // whatever its selector. (Pieces of senders interleaved: piecesAreFreedAndBounded.)
        rig.sim->sendConsole(kShop, 2, logMessage("wrapped in three"), {3, false});
        rig.sim->sendConsole(kShop, 1, logMessage("by page in four"), {4, true});
        send(first, "WIRFinalMessageKey", message("from one"), "_rpc_applicationSentListing:");

        // Ignored: inside a wrapper no JSON, no object, no text; data of the wrong type, an unknown
        // sender, no method, an id beyond any integer, no "message" object.
        rig.sim->sendText(kShop, 2, "console.log('not json'");
        rig.sim->sendText(kShop, 2, "[1, 2, 3]");
        rig.sim->sendEvent(kShop, 2, "Target.dispatchMessageFromTarget", {{"message", 42}});
        const QByteArray cleared = FakeInspectorDaemon::json({{"method", "Console.messagesCleared"}});
        send(first, "WIRMessageDataKey", QString(cleared));
        send("NO-SUCH-SENDER", "WIRMessageDataKey", cleared);
        rig.sim->sendText(kShop, 1, R"({"params": {}})");
        rig.sim->sendText(kShop, 1, R"({"id": 1e40, "result": {}})"); // no request's, nor any integer
        rig.sim->sendEvent(kShop, 1, "Console.messageAdded", {{"message", "text"}});

        // Repeats (one without a count counts one) and clears keep their place among the entries.
        rig.sim->sendRepeat(kShop, 1, 3);
        rig.sim->sendRepeat(kShop, 2, std::nullopt);
        rig.sim->sendCleared(kShop, 2);
        rig.sim->sendConsole(kShop, 2, logMessage("last"));
        rig.sim->sendCleared(kShop, 1);
        const auto events = [&] { return rig.order.filter(QRegularExpression("^(entry|cleared|repeat)")); };
        const QStringList heard{"entry",      "entry",     "entry", "repeat 1 3",
                                "repeat 2 1", "cleared 2", "entry", "cleared 1"};
        QTRY_COMPARE(events(), heard);
        QCOMPARE(rig.texts(), (QStringList{"wrapped in three", "by page in four", "from one", "last"}));
        const auto pages = pluck(rig.entries, [](const ConsoleEntry& entry) { return entry.page.pageID; });
        QCOMPARE(pages, (QList<qint64>{2, 1, 1, 2}));
        QCOMPARE(rig.commandsOf(wrapped).size(), size_t(4));

        QCOMPARE(rig.strays.load(), 0);

        // A callback may drop the connection with more entries behind it in the same batch.
        rig.connection->onEntry = [&](ConsoleEntry entry) {
            rig.entries.push_back(entry);
            rig.connection.reset();
        };
        for (int i = 0; i < 500; ++i)
            rig.sim->sendConsole(kShop, 1, logMessage("more"));
        QTRY_COMPARE(rig.service().clientCount(), 0);
        QTest::qWait(200);
        QCOMPARE(rig.entries.size(), size_t(5));
        QCOMPARE(rig.closes, 0);
    }

    // Messages logged before the session come in the replay without object previews: all are asked
    // for at once and the message reads as a live one would. A page ignoring one still gets its
    // messages out, in order, within the bound, and is not taken as unresponsive for it.
    void replayedObjectsAreShownByTheirPreviews() {
        const auto logged = [](const QString& text, const QString& objectID) {
            QJsonObject message = logMessage(text);
            message["parameters"] = QJsonArray{QJsonObject{{"type", "string"}, {"value", text}},
                                               QJsonObject{{"type", "object"}, {"objectId", objectID}}};
            return message;
        };
        Page page = webPage(1, Targets::atOnce);
        page.backlog = {logged("ignored", "silent"), logged("cart", "cart-1"), logMessage("plain")};
        ConnectionRig rig;
        rig.sim->setAnswerer([](const Command& command) -> std::optional<Answer> {
            if (command.method != "Runtime.getPreview" || command.params["objectId"] == "silent")
                return command.method == "Runtime.getPreview" ? std::optional(Answer::silence())
                                                              : std::nullopt;
            const QJsonObject items{{"name", "items"}, {"type", "number"}, {"value", "3"}};
            return Answer::result({{"preview", QJsonObject{{"properties", QJsonArray{items}}}}});
        });
        QVERIFY(rig.openShop({page}));
        QTRY_COMPARE_WITH_TIMEOUT(rig.sim->commands("Runtime.getPreview").size(), size_t(2), 500);
        QVERIFY(rig.entries.empty()); // behind the silent one
        QTRY_COMPARE_WITH_TIMEOUT(rig.texts(), (QStringList{"ignored Object", "cart {items: 3}", "plain"}),
                                  2500);
        QCOMPARE(rig.entries[1].objects.value(0).label, "{items: 3}");
        QVERIFY(!rig.entries[0].replay.isNull() && rig.entries[2].replay == rig.entries[0].replay);
        rig.sim->sendConsole(kShop, 1, logMessage("live"));
        QTest::qWait(1500); // past the request deadline
        QVERIFY(rig.page(1) && !rig.page(1)->unresponsive);
        QVERIFY(rig.entries.back().text == "live" && rig.entries.back().replay.isNull());
    }

    // '\u{1F600}'.slice(0, 1) logged in a page arrives as an escaped lone surrogate; the message stays.
    void loneSurrogatesArriveAsReplacementCharacters() {
        Rig rig({webPage(1)});
        rig.sim->sendText(
            kShop, 1,
            R"j({"method": "Console.messageAdded", "params": {"message": {"source": )j"
            R"j("console-api", "level": "warning", "line": 3, "text": "\ud83d|\ude00|\ud83d\ude00"}}})j");
        QTRY_COMPARE(rig.texts(), QStringList{QString::fromUtf8("\uFFFD|\uFFFD|\U0001F600")});
        QCOMPARE(rig.entries[0].line, 3);
        QCOMPARE(rig.entries[0].level, ConsoleLevel::warning);
    }

    // Bad input costs a bounded amount, and the next message follows it: page JSON nested 10,000 deep
    // is dropped (the parser stops at 1,024 levels); a message in 100,000 pieces arrives whole.
    void hostileMessagesAreBounded_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("pieces");
        QTest::addColumn<QStringList>("heard");
        const QByteArray head =
            "{\"method\":\"Console.messageAdded\",\"params\":{\"message\":{\"level\":\"log\",\"text\":\"";
        const QByteArray deep = QByteArray("[").repeated(10000) + QByteArray(10000, ']');
        QTest::newRow("10,000 levels")
            << head + "x\",\"parameters\":" + deep + "}}}" << 1 << QStringList{"after"};
        const QByteArray text(99800, 'x');
        QTest::newRow("100,000 pieces") << head + text + "\"}}}" << 100000 << QStringList{text, "after"};
    }
    void hostileMessagesAreBounded() {
        QFETCH(QByteArray, text);
        QFETCH(int, pieces);
        QFETCH(QStringList, heard);
        Rig rig({webPage(1)});
        rig.sim->sendText(kShop, 1, text, {pieces, false});
        rig.sim->sendConsole(kShop, 1, logMessage("after"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.texts(), heard, 60000);
    }

    void pageThatStopsAnsweringIsReportedOncePerEpisode() {
        Rig rig({webPage(1), webPage(2)}, false);
        const auto unresponsive = [&](qint64 page) { return rig.page(page) && rig.page(page)->unresponsive; };
        const auto ask = [&] { rig.connection->request("Runtime.evaluate", {}, rig.key(1), rig.answer()); };
        const auto notices = [&] {
            return rig.texts().filter(QRegularExpression("^(This page has|The page is)"));
        };

        // Past the deadline each handler hears why and an evaluation gets its result; the page is
        // marked, with one warning. A second time-out in the same episode warns no more.
        ask();
        rig.connection->evaluate("while (true) {}", rig.key(1));
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
        rig.sim->sendConsole(kShop, 1, logMessage("back"));
        QTRY_COMPARE(rig.texts().mid(2), (QStringList{kAgain, "back"}));
        QTRY_VERIFY(!unresponsive(1));
        ask();
        QTRY_COMPARE_WITH_TIMEOUT(notices().size(), 3, 10000);
        rig.sim->setAnswerer([](const Command& command) { return pageAnswers(command); });
        ask();
        QTRY_VERIFY(!unresponsive(1));
        QCOMPARE(rig.answers.size(), 4);
        QCOMPARE(notices().mid(2), (QStringList{notices()[0], kAgain}));
    }

    void evaluationGivesOneResult() {
        Rig rig({webPage(1)}, false, {60ms, 200ms, 500ms, 1200ms, 2000ms}); // a longer wait for a session
        const QJsonObject error{{"type", "object"}, {"description", "Error: boom"}, {"objectId", "e-1"}};
        const std::map<QString, Answer> special{
            {"boom()", Answer::result({{"result", error}, {"wasThrown", true}})},
            {"refused", Answer::error("Runtime domain is disabled")},
            {"vague", Answer::errorWithoutMessage()}};
        rig.sim->setAnswerer([&](const Command& command) { return pageAnswers(command, special); });

        // Answered; on a page nobody lists (three times the same), and on one that shows up while it
        // waits, where it runs once enabled.
        for (const char* expression : {"boom()", "refused", "vague"})
            rig.connection->evaluate(expression, rig.key(1));
        for (const qint64 page : {404, 404, 404, 9})
            rig.connection->evaluate("1", rig.key(page));
        rig.sim->addPage(kShop, webPage(9));
        QTRY_COMPARE_WITH_TIMEOUT(rig.results().size(), size_t(7), 10000);
        const auto methods = pluck(rig.sim->commands(kShop, 9), [](const Command& c) { return c.method; });
        QCOMPARE(methods, kEnabling + QStringList{"Runtime.evaluate"});
        QCOMPARE(rig.results()[0].objects.value(0).objectID, "e-1");
        QCOMPARE(
            pluck(rig.results(), [](const ConsoleEntry& e) { return e.level; }).count(ConsoleLevel::error),
            6);
        QCOMPARE(rig.texts().mid(0, 3),
                 (QStringList{"Error: boom", "Runtime domain is disabled", "evaluation failed"}));
        QCOMPARE(rig.texts().count(PageSessions::kNotAttached), 3);
        QTest::qWait(2000); // past the wait: nothing more
        QCOMPARE(rig.entries.size(), size_t(7));
    }

    void requestsAnswerOnTheMainThread() {
        Rig rig({webPage(1), webPage(2, Targets::atOnce, QStringLiteral("page-2"))});
        Delivered got;
        rig.connection->properties("gone", rig.key(1), got.to());
        rig.connection->properties("obj-1", rig.key(1), got.to());
        rig.connection->completions(QStringLiteral("document"), rig.key(1), got.to());
        rig.connection->serialize("obj-1", rig.key(1), true, got.to());
        rig.connection->snapshot(rig.key(1), true, got.to());
        rig.connection->snapshot(rig.key(2), false, got.to());
        QTRY_COMPARE(got.got.size(), 6);
        got.got.sort();
        QCOMPARE(got.got, (QStringList{"=Could not find object", "a=Object#child-1", "image hello",
                                       "image hello", "names body,head", "text {}"}));
        QCOMPARE(got.offMainThread, 0);

        // What page 1 was sent after its enabling commands: its scripts, by value, muted, and the
        // capture of the size it measured.
        const std::vector<Command> sent = rig.sim->commands(kShop, 1);
        QCOMPARE(
            pluck(sent, [](const Command& c) { return c.method; }).mid(4),
            (QStringList{"Runtime.getProperties", "Runtime.getProperties", "Runtime.evaluate",
                         "Runtime.callFunctionOn", "Page.enable", "Runtime.evaluate", "Page.snapshotRect"}));
        QCOMPARE(sent[6].params["expression"], PageRequests::completionExpression("document"));
        QCOMPARE(sent[7].params["functionDeclaration"], PageRequests::serializerFunction(true));
        for (const Command& command : {sent[6], sent[7], sent[9]})
            QVERIFY(command.params["returnByValue"].toBool() &&
                    command.params["doNotPauseOnExceptionsAndMuteConsole"].toBool());
        QVERIFY(sent[9].params["expression"].toString().contains("documentElement.scrollWidth"));
        QCOMPARE(
            sent[10].params,
            (QJsonObject{{"coordinateSystem", "Page"}, {"height", 844}, {"width", 390}, {"x", 0}, {"y", 0}}));

        // Page 2's come wrapped for its target; its snapshot is of the viewport.
        const std::vector<Command> second = rig.sim->commands(kShop, 2);
        QCOMPARE(second.back().targetID, "page-2");
        QCOMPARE(second.back().params["coordinateSystem"], "Viewport");
    }

    // A session can end while requests are out: capture switched off, or the page gone from its
    // application's listing. The page will never answer them: an evaluation and a snapshot end then,
    // each once; other requests are dropped. A page without a session is sent nothing, and its snapshot
    // too says at once that it got nothing, since its callers have no time limit of their own.
    void requestsEndWithTheirSession() {
        for (const bool captureOff : {true, false}) {
            Rig rig({webPage(1)}, false); // nothing is answered but the enabling commands
            Delivered got;
            rig.connection->properties("obj-1", rig.key(404), got.to());
            rig.connection->completions(std::nullopt, rig.key(404), got.to());
            rig.connection->serialize("obj-1", rig.key(404), false, got.to());
            rig.connection->snapshot(rig.key(404), true, got.to());
            QTRY_COMPARE(got.got, QStringList{"image -"});
            rig.connection->evaluate("slow()", rig.key(1));
            rig.connection->properties("obj-1", rig.key(1), got.to());
            rig.connection->snapshot(rig.key(1), false, got.to());
            QVERIFY(rig.sim->waitForCommand(kShop, 1, "Runtime.getProperties"));
            QVERIFY(rig.sim->waitForCommand(kShop, 1, "Page.enable"));
            if (captureOff) {
                rig.connection->setCapturing(false);
            } else {
                rig.sim->removePage(kShop, 1);
                rig.sim->sendListing(kShop);
            }
            // Well before the request deadline; and nothing more later, no time-outs for what ended.
            QTRY_COMPARE_WITH_TIMEOUT(rig.results().size(), size_t(1), 900);
            QCOMPARE(rig.results()[0].text, "This webview is not attached. It may have navigated or closed.");
            const QStringList images{"image -", "image -"};
            QTRY_COMPARE_WITH_TIMEOUT(got.got, images, 900);
            QTest::qWait(1800);
            QCOMPARE(rig.results().size(), size_t(1));
            QCOMPARE(got.got, images);
            QCOMPARE(got.offMainThread, 0);
            QVERIFY(rig.sim->commands(kShop, 404).empty());
        }
    }

    // The answer reaches the connection's queue, but the owner's thread has not run since: the
    // completion waits there when the connection goes, and must then never run.
    void completionsDroppedWithTheConnection() {
        Rig rig({webPage(1)}, false); // the snapshot's measuring never ends
        auto got = std::make_shared<Delivered>();
        rig.connection->snapshot(rig.key(1), true, got->to());
        rig.connection->properties("obj-1", rig.key(1), got->to());
        QVERIFY(rig.sim->waitForCommand(kShop, 1, "Runtime.getProperties"));
        std::this_thread::sleep_for(300ms);
        rig.connection.reset();
        QTest::qWait(300);
        // The snapshot still out is told it got nothing: its callers have no time limit of their own.
        QCOMPARE(got->got, QStringList{"image -"});
    }

    // Requests sent through a target that a navigation committed away, or that went, end at once;
    // the page is not taken for one that stopped answering.
    void requestsThroughAGoneTargetEndAtOnce() {
        Rig rig({webPage(1, Targets::atOnce, "page-7")}, false, kTargetFirst);
        const auto sent = [&](std::size_t count) {
            return QTest::qWaitFor([&] { return rig.sim->commands("Runtime.evaluate").size() >= count; },
                                   5000);
        };
        rig.connection->request("Runtime.evaluate", {}, rig.key(1), rig.answer());
        rig.connection->evaluate("spin()", rig.key(1));
        QVERIFY(sent(2));
        rig.sim->commitProvisional(kShop, 1, "page-8");
        QTRY_VERIFY_WITH_TIMEOUT(rig.answers.size() == 1 && rig.results().size() == 1, 600);
        QVERIFY(rig.enabledSender(1, 2) != QString());
        rig.connection->request("Runtime.evaluate", {}, rig.key(1), rig.answer());
        QVERIFY(sent(3));
        rig.sim->destroyTarget(kShop, 1);
        QTRY_COMPARE_WITH_TIMEOUT(rig.answers.size(), 2, 600);
        QVERIFY(rig.waitForPolls(8)); // past the request deadline
        QVERIFY(!rig.page(1)->unresponsive);
        QCOMPARE(rig.texts(), QStringList{PageSessions::kNotAttached});
    }

    // Pieces of messages are bounded: a sender's are freed when its session ends, and the oldest
    // sender's go first when the pieces of all of them reach the bound.
    void piecesAreFreedAndBounded() {
        PartialMessages partials(10);
        QStringList heard; // each piece's whole message, "-" while there is none
        const auto piece = [&](const char* sender, const char* data, bool final = false) {
            const PartialMessages::Result result =
                partials.take({{"WIRDestinationKey", sender},
                               {final ? "WIRFinalMessageKey" : "WIRPartialMessageKey", QByteArray(data)}});
            heard << (result.complete ? result.complete->value("WIRMessageDataKey").toString() : "-");
        };
        piece("A", "aaaaaa");
        partials.forget("A");
        piece("B", "bbbbbb");
        piece("B", "!", true);
        // A's are dropped for D's: the rest of that message is refused, up to its final piece.
        for (const char* sender : {"A", "C", "D"})
            piece(sender, "dddd");
        piece("A", "aa");
        piece("A", "!", true);
        piece("A", "x", true);
        piece("C", "!", true);
        piece("D", "!", true);
        QCOMPARE(heard, (QStringList{"-", "-", "bbbbbb!", "-", "-", "-", "-", "-", "x", "dddd!", "dddd!"}));
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
