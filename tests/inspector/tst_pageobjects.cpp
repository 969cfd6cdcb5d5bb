// Page requests through a real connection to a fake simulator: what goes into the page's session,
// what comes back and on which thread, and what happens when the session or the connection ends.
#include "ConnectionRig.h"

#include "inspector/PageRequests.h"

#include <QCoreApplication>
#include <QJsonArray>
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

// Answers the page requests the way a page does; other evaluations never.
std::optional<Answer> pageAnswers(const Command& command) {
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
        return Answer::result({{"dataURL", "data:;base64,aGVsbG8="}});
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
    explicit Rig(const std::vector<Page>& pages) {
        sim().setAnswerer(pageAnswers);
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

    // What page 1 was sent after its enabling commands: its scripts, by value, muted, and the
    // capture of the size it measured.
    const std::vector<Command> sent = rig.sim().commands(kShop, 1);
    QCOMPARE(pluck(sent, [](const Command& c) { return c.method; }).mid(4),
             (QStringList{"Runtime.getProperties", "Runtime.getProperties", "Runtime.evaluate",
                          "Runtime.callFunctionOn", "Page.enable", "Runtime.evaluate", "Page.snapshotRect"}));
    QCOMPARE(sent[5].params,
             (QJsonObject{{"generatePreview", true}, {"objectId", "obj-1"}, {"ownProperties", true}}));
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
    const std::vector<Command> second = rig.sim().commands(kShop, 2);
    QCOMPARE(second.back().targetID, "page-2");
    QCOMPARE(second.back().params["coordinateSystem"], "Viewport");
    QCOMPARE(second.rbegin()[1].params["expression"], "JSON.stringify([innerWidth, innerHeight])");
}

// A session can end while requests are out: capture switched off, or the page gone from its
// application's listing. The page will never answer them: an evaluation and a snapshot end then,
// each once; other requests are dropped. A page without a session is sent nothing, and its snapshot
// too says at once that it got nothing, since its callers have no time limit of their own. When the
// owner stops the connection, nothing is answered at all.
void TestPageObjects::requestsEndWithTheirSession() {
    enum Ending { captureOff, pageGone, stopped };
    for (const Ending ending : {captureOff, pageGone, stopped}) {
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
        if (ending == captureOff) {
            rig.connection().setCapturing(false);
        } else if (ending == pageGone) {
            rig.sim().removePage(kShop, 1);
            rig.sim().sendListing(kShop);
        } else {
            rig.connection().stop();
            QTRY_COMPARE(rig.closes, 1);
        }
        // Well before the request deadline; and nothing more later, no time-outs for what ended.
        const std::size_t ended = ending == stopped ? 0 : 1;
        QTRY_COMPARE_WITH_TIMEOUT(rig.results().size(), ended, 900);
        if (ended)
            QCOMPARE(rig.results()[0].text, "This webview is not attached. It may have navigated or closed.");
        const QStringList images = QStringList{"image -", "image -"}.mid(0, 1 + ended);
        QTRY_COMPARE_WITH_TIMEOUT(got.got, images, 900);
        QTest::qWait(1800);
        QCOMPARE(rig.results().size(), ended);
        QCOMPARE(got.got, images);
        QCOMPARE(got.offMainThread, 0);
        QVERIFY(rig.sim().commands(kShop, 404).empty());
    }
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
