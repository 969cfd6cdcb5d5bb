// Page requests through a real connection to a fake simulator: what goes into the page's session,
// what comes back and on which thread, and what happens when the session or the connection ends.
#include "ConnectionRig.h"

#include "inspector/PageRequests.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QThread>

#include <csignal>
#include <thread>

using namespace std::chrono_literals;

namespace {

using Command = FakeInspectorDaemon::Command;
using Answer = FakeInspectorDaemon::Answer;

const QString kShop = ConnectionRig::kShop;
const QJsonObject kChild{{"name", "a"}, {"value", QJsonObject{{"objectId", "child-1"}}}};

// Answers the page requests the way a page does; captures only when `capture`, other evaluations never.
std::optional<Answer> pageAnswers(const Command& command, bool capture = true) {
    const auto value = [](const QJsonValue& v) {
        return Answer::result({{"result", QJsonObject{{"value", v}}}});
    };
    const QJsonObject& params = command.params;
    if (command.method == "Runtime.getProperties")
        return params["objectId"] == "gone" ? Answer::error("Could not find object")
                                            : Answer::result({{"properties", QJsonArray{kChild}}});
    if (command.method == "Runtime.evaluate") // completion names, the page's size, or never
        return params["objectGroup"] == "completion"                 ? value(QJsonArray{"body", "head"})
               : params["expression"].toString().startsWith("JSON.") ? value("[390,844]")
                                                                     : Answer::silence();
    if (command.method == "Runtime.callFunctionOn")
        return value("{}");
    if (command.method == "Page.snapshotRect")
        return capture ? Answer::result({{"dataURL", "data:;base64,aGVsbG8="}}) : Answer::silence();
    return std::nullopt;
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
        QStringList text;
        for (const PropertyNode& row : rows)
            text << row.name + u'=' + row.value + (row.objectID ? u'#' + *row.objectID : QString());
        return text.join(u',');
    }
};

// The Shop application with `pages`, capturing, answering the way a page does.
struct Rig : ConnectionRig {
    explicit Rig(const std::vector<Page>& pages, bool capture = true) {
        sim().setAnswerer([capture](const Command& command) { return pageAnswers(command, capture); });
        QVERIFY(openShop(pages));
        for (const Page& page : pages)
            QVERIFY(waitEnabled(page.id));
    }
};

} // namespace

class TestPageObjects : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }
    void requestsAnswerOnTheMainThread();
    void requestsEndWithTheirSession();
    void stoppingAnswersWhatWaits();
    void completionsDroppedWithTheConnection();
};

void TestPageObjects::requestsAnswerOnTheMainThread() {
    Rig rig({webPage(1), webPage(2, ConnectionRig::Targets::atOnce, QStringLiteral("page-2"))});
    Delivered got;
    rig.connection().properties("gone", rig.key(1), got.to());
    for (const qint64 page : {1, 2}) {
        rig.connection().properties("obj-1", rig.key(page), got.to());
        rig.connection().completions(QStringLiteral("document"), rig.key(page), got.to());
        rig.connection().serialize("obj-1", rig.key(page), page == 1, got.to());
        rig.connection().snapshot(rig.key(page), page == 1, got.to());
    }
    QTRY_COMPARE(got.got.size(), 9);
    got.got.sort();
    QCOMPARE(got.got,
             (QStringList{"=Could not find object", "a=Object#child-1", "a=Object#child-1", "image hello",
                          "image hello", "names body,head", "names body,head", "text {}", "text {}"}));
    QCOMPARE(got.offMainThread, 0);

    // What page 1 was sent after its enabling commands, with the scripts named.
    QStringList sent;
    for (Command command : rig.sim().commands(kShop, 1)) {
        if (command.params.value("expression") == PageRequests::completionExpression("document"))
            command.params["expression"] = "<completion>";
        if (command.params.value("functionDeclaration") == PageRequests::serializerFunction(true))
            command.params["functionDeclaration"] = "<JSON serialiser>";
        sent << command.method + u' ' + QJsonDocument(command.params).toJson(QJsonDocument::Compact);
    }
    QCOMPARE(
        sent.mid(4),
        (QStringList{
            R"j(Runtime.getProperties {"generatePreview":true,"objectId":"gone","ownProperties":true})j",
            R"j(Runtime.getProperties {"generatePreview":true,"objectId":"obj-1","ownProperties":true})j",
            R"j(Runtime.evaluate {"doNotPauseOnExceptionsAndMuteConsole":true,"expression":"<completion>",)j"
            R"j("objectGroup":"completion","returnByValue":true})j",
            R"j(Runtime.callFunctionOn {"doNotPauseOnExceptionsAndMuteConsole":true,)j"
            R"j("functionDeclaration":"<JSON serialiser>","objectId":"obj-1","returnByValue":true})j",
            R"j(Page.enable {})j",
            R"j(Runtime.evaluate {"doNotPauseOnExceptionsAndMuteConsole":true,"expression":)j"
            R"j("JSON.stringify([document.documentElement.scrollWidth, )j"
            R"j(document.documentElement.scrollHeight])","returnByValue":true})j",
            R"j(Page.snapshotRect {"coordinateSystem":"Page","height":844,"width":390,"x":0,"y":0})j"}));

    // Page 2's come wrapped for its target; its snapshot is of the viewport.
    const std::vector<Command> second = rig.sim().commands(kShop, 2);
    QCOMPARE(second.back().targetID, "page-2");
    QCOMPARE(second.back().params["coordinateSystem"], "Viewport");
    QCOMPARE(second.rbegin()[1].params["expression"], "JSON.stringify([innerWidth, innerHeight])");
}

// A session can end while requests are out: capture switched off, or the page gone from its
// application's listing. The page will never answer them: an evaluation and a snapshot end then,
// each once; other requests are dropped. A page without a session is sent nothing, and its snapshot
// too says at once that it got nothing, since its callers have no time limit of their own.
void TestPageObjects::requestsEndWithTheirSession() {
    for (const bool captureOff : {true, false}) {
        Rig rig({webPage(1)});
        rig.sim().setAnswerer([](const Command& command) {
            // Nothing is answered but the enabling commands.
            const bool enabling =
                command.method.startsWith("Inspector.") || command.method.endsWith(".enable");
            return enabling ? std::nullopt : std::optional<Answer>(Answer::silence());
        });
        Delivered got;
        rig.connection().properties("obj-1", rig.key(404), got.to());
        rig.connection().completions(std::nullopt, rig.key(404), got.to());
        rig.connection().serialize("obj-1", rig.key(404), false, got.to());
        rig.connection().snapshot(rig.key(404), true, got.to());
        QTRY_COMPARE(got.got, QStringList{"image -"});
        rig.connection().evaluate("slow()", rig.key(1));
        rig.connection().properties("obj-1", rig.key(1), got.to());
        rig.connection().snapshot(rig.key(1), false, got.to());
        QVERIFY(rig.sim().waitForCommand(kShop, 1, "Runtime.getProperties"));
        QVERIFY(rig.sim().waitForCommand(kShop, 1, "Page.enable"));
        if (captureOff) {
            rig.connection().setCapturing(false);
        } else {
            rig.sim().removePage(kShop, 1);
            rig.sim().sendListing(kShop);
        }
        // Well before the request deadline; and nothing more later, no time-outs for what ended.
        QTRY_COMPARE_WITH_TIMEOUT(rig.results().size(), std::size_t(1), 900);
        QCOMPARE(rig.results()[0].text, "This webview is not attached. It may have navigated or closed.");
        QTRY_COMPARE_WITH_TIMEOUT(got.got, (QStringList{"image -", "image -"}), 900);
        QTest::qWait(1800);
        QCOMPARE(rig.results().size(), std::size_t(1));
        QCOMPARE(got.got, (QStringList{"image -", "image -"}));
        QCOMPARE(got.offMainThread, 0);
        QVERIFY(rig.sim().commands(kShop, 404).empty());
    }
}

// Stopping answers the evaluation and the snapshot still out, each once; so does dropping the
// connection while a snapshot waits, whose callers have no time limit of their own.
void TestPageObjects::stoppingAnswersWhatWaits() {
    Rig rig({webPage(1)}, false);
    Delivered got;
    rig.connection().evaluate("slow()", rig.key(1));
    rig.connection().snapshot(rig.key(1), true, got.to());
    QVERIFY(rig.sim().waitForCommand(kShop, 1, "Page.snapshotRect"));
    rig.connection().stop();
    QTRY_COMPARE(rig.closes, 1);
    QTest::qWait(1800);
    QCOMPARE(rig.results().size(), std::size_t(1));
    QCOMPARE(got.got, QStringList{"image -"});
    Rig dropped({webPage(1)}, false);
    dropped.connection().snapshot(dropped.key(1), false, got.to());
    QVERIFY(dropped.sim().waitForCommand(kShop, 1, "Page.snapshotRect"));
    dropped.dropConnection();
    QCOMPARE(got.got, (QStringList{"image -", "image -"}));
}

// The answer reaches the connection's queue, but the owner's thread has not run since: the
// completion waits there when the connection goes, and must then never run.
void TestPageObjects::completionsDroppedWithTheConnection() {
    Rig rig({webPage(1)});
    auto got = std::make_shared<Delivered>();
    rig.connection().properties("obj-1", rig.key(1), got->to());
    QVERIFY(rig.sim().waitForCommand(kShop, 1, "Runtime.getProperties"));
    std::this_thread::sleep_for(300ms);
    rig.dropConnection();
    QTest::qWait(300);
    QCOMPARE(got->got, QStringList());
}

QTEST_GUILESS_MAIN(TestPageObjects)
#include "tst_pageobjects.moc"
