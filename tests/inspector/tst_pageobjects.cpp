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
const QByteArray kImage = QByteArray::fromHex("89504e470d0a1a0a");

// Answers the page requests the way a page does; captures only when `capture`, other evaluations never.
std::optional<Answer> pageAnswers(const Command& command, bool capture = true) {
    const auto value = [](const QJsonValue& v) {
        return Answer::result({{"result", QJsonObject{{"type", "object"}, {"value", v}}}});
    };
    const QJsonObject number{{"type", "number"}, {"value", 2}}, object{{"objectId", "child-1"}};
    if (command.method == "Runtime.getProperties" && command.params["objectId"] == "gone")
        return Answer::error("Could not find object");
    if (command.method == "Runtime.getProperties")
        return Answer::result({{"properties", QJsonArray{QJsonObject{{"name", "b"}, {"value", number}},
                                                         QJsonObject{{"name", "a"}, {"value", object}}}}});
    if (command.method == "Runtime.evaluate" && command.params["objectGroup"] == "completion")
        return value(QJsonArray{"body", "head"});
    if (command.method == "Runtime.evaluate")
        return command.params["expression"].toString().startsWith("JSON.stringify(") ? value("[390,844]")
                                                                                     : Answer::silence();
    if (command.method == "Runtime.callFunctionOn")
        return value("{}");
    if (command.method == "Page.snapshotRect")
        return capture ? Answer::result(
                             {{"dataURL", "data:image/png;base64," + QString::fromLatin1(kImage.toBase64())}})
                       : Answer::silence();
    return std::nullopt;
}

// What completions delivered, as text, and how many arrived off the main thread.
struct Delivered {
    QStringList got;
    int offMainThread = 0;

    void add(const QString& text) {
        offMainThread += QThread::currentThread() != QCoreApplication::instance()->thread();
        got << text;
    }
    auto rows() {
        return [this](QList<PropertyNode> rows) {
            QStringList text;
            for (const PropertyNode& row : rows)
                text << row.name + u'=' + row.value + (row.objectID ? u'#' + *row.objectID : QString());
            add(text.join(u','));
        };
    }
    auto names() {
        return [this](QStringList names) { add("names " + names.join(u',')); };
    }
    auto text() {
        return [this](std::optional<QString> text) { add("text " + text.value_or("-")); };
    }
    auto image() {
        return [this](std::optional<QByteArray> image) { add("image " + (image ? image->toHex() : "-")); };
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
    // The parameters of the last `method` command the page got.
    QJsonObject params(qint64 page, const QString& method) {
        for (const Command& command : sim().commands(kShop, page))
            if (command.method == method)
                last = command;
        return last.params;
    }
    Command last;
};

} // namespace

class TestPageObjects : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }
    void requestsAnswerOnTheMainThread();
    void pageWithoutSession();
    void requestsEndWithTheirSession();
    void stoppingAnswersNothing();
    void completionsDroppedWithTheConnection();
};

void TestPageObjects::requestsAnswerOnTheMainThread() {
    Rig rig({webPage(1), webPage(2, ConnectionRig::Targets::atOnce, QStringLiteral("page-2"))});
    Delivered got;
    for (const qint64 page : {1, 2}) {
        rig.connection().properties("obj-1", rig.key(page), got.rows());
        rig.connection().completions(QStringLiteral("document"), rig.key(page), got.names());
        rig.connection().serialize("obj-1", rig.key(page), page == 1, got.text());
        rig.connection().snapshot(rig.key(page), page == 1, got.image());
    }
    rig.connection().properties("gone", rig.key(1), got.rows());
    QTRY_COMPARE(got.got.size(), 9);
    got.got.sort();
    QCOMPARE(got.got, (QStringList{"=Could not find object", "a=Object#child-1,b=2", "a=Object#child-1,b=2",
                                   "image " + kImage.toHex(), "image " + kImage.toHex(), "names body,head",
                                   "names body,head", "text {}", "text {}"}));
    QCOMPARE(got.offMainThread, 0);

    QCOMPARE(rig.params(2, "Runtime.getProperties"),
             (QJsonObject{{"objectId", "obj-1"}, {"ownProperties", true}, {"generatePreview", true}}));
    const QJsonObject byValue{{"returnByValue", true}, {"doNotPauseOnExceptionsAndMuteConsole", true}};
    QJsonObject completion = byValue, serialize = byValue, measure = byValue;
    completion.insert("objectGroup", "completion");
    completion.insert("expression", PageRequests::completionExpression("document"));
    serialize.insert("objectId", "obj-1");
    serialize.insert("functionDeclaration", PageRequests::serializerFunction(false));
    measure.insert("expression", "JSON.stringify([innerWidth, innerHeight])");
    QCOMPARE(rig.params(2, "Runtime.callFunctionOn"), serialize);
    QCOMPARE(rig.last.targetID, QStringLiteral("page-2")); // wrapped for the page's target
    QVERIFY(rig.params(1, "Runtime.callFunctionOn")["functionDeclaration"].toString().contains(
        "JSONMode = true;"));
    QCOMPARE(rig.params(2, "Runtime.evaluate"), measure);
    QCOMPARE(rig.sim().commands("Runtime.evaluate")[0].params, completion);
    QCOMPARE(rig.params(1, "Runtime.evaluate")["expression"],
             "JSON.stringify([document.documentElement.scrollWidth, document.documentElement.scrollHeight])");
    QCOMPARE(
        rig.params(1, "Page.snapshotRect"),
        (QJsonObject{{"x", 0}, {"y", 0}, {"width", 390}, {"height", 844}, {"coordinateSystem", "Page"}}));
    QCOMPARE(rig.params(2, "Page.snapshotRect")["coordinateSystem"], "Viewport");
}

void TestPageObjects::pageWithoutSession() {
    Rig rig({webPage(1)});
    // A page the connection does not know has no session: nothing is sent. The snapshot still says
    // that it got nothing, since its callers have no time limit of their own.
    Delivered got;
    const PageKey unknown = rig.key(404);
    rig.connection().properties("obj-1", unknown, got.rows());
    rig.connection().completions(std::nullopt, unknown, got.names());
    rig.connection().serialize("obj-1", unknown, false, got.text());
    rig.connection().snapshot(unknown, true, got.image());
    QTRY_COMPARE(got.got, QStringList{"image -"});
    QTest::qWait(1800); // beyond the request deadline nothing else arrives
    QCOMPARE(got.got, QStringList{"image -"});
    QCOMPARE(got.offMainThread, 0);
    QVERIFY(rig.sim().commands(kShop, 404).empty());
}

// A session can end while requests are out: capture switched off, or the page gone from its
// application's listing. The page will never answer them: an evaluation and a snapshot end then,
// each once; other requests are dropped.
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
        rig.connection().evaluate("slow()", rig.key(1));
        rig.connection().properties("obj-1", rig.key(1), got.rows());
        rig.connection().snapshot(rig.key(1), false, got.image());
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
        QTRY_COMPARE_WITH_TIMEOUT(got.got, QStringList{"image -"}, 900);
        QTest::qWait(1800);
        QCOMPARE(rig.results().size(), std::size_t(1));
        QCOMPARE(got.got, QStringList{"image -"});
        QCOMPARE(got.offMainThread, 0);
    }
}

void TestPageObjects::stoppingAnswersNothing() {
    Rig rig({webPage(1)}, false);
    Delivered got;
    rig.connection().evaluate("slow()", rig.key(1));
    rig.connection().snapshot(rig.key(1), true, got.image());
    QVERIFY(rig.sim().waitForCommand(kShop, 1, "Page.snapshotRect"));
    rig.connection().stop();
    QTRY_COMPARE(rig.closes, 1);
    QTest::qWait(1800);
    QCOMPARE(rig.results().size(), std::size_t(0));
    QCOMPARE(got.got, QStringList());
}

// The answer reaches the connection's queue, but the owner's thread has not run since: the
// completion waits there when the connection goes, and must then never run.
void TestPageObjects::completionsDroppedWithTheConnection() {
    Rig rig({webPage(1)});
    auto got = std::make_shared<Delivered>();
    rig.connection().properties("obj-1", rig.key(1), got->rows());
    QVERIFY(rig.sim().waitForCommand(kShop, 1, "Runtime.getProperties"));
    std::this_thread::sleep_for(300ms);
    rig.dropConnection();
    QTest::qWait(300);
    QCOMPARE(got->got, QStringList());
}

QTEST_GUILESS_MAIN(TestPageObjects)
#include "tst_pageobjects.moc"
