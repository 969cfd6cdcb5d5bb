// Object properties, completion names, serialisation and snapshots through a real connection to a
// fake simulator: what goes into the page's session, what comes back, and on which thread.
#include "ConnectionRig.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QTest>
#include <QThread>

#include <csignal>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

using Command = FakeInspectorDaemon::Command;
using Answer = FakeInspectorDaemon::Answer;
using Targets = FakeInspectorDaemon::Targets;

const QString kShop = ConnectionRig::kShop;
const QString kNotAttached = QStringLiteral("This webview is not attached. It may have navigated or closed.");
const QByteArray kImage = QByteArray::fromHex("89504e470d0a1a0a0000000d49484452");

Answer returned(const QJsonValue& value) {
    return Answer::result(
        {{"result", QJsonObject{{"type", value.isString() ? "string" : "object"}, {"value", value}}}});
}

// Answers the page requests the way a page does. Captures are silent when `captureAnswers` is false.
std::optional<Answer> pageAnswers(const Command& command, bool captureAnswers = true) {
    if (command.method == QLatin1String("Runtime.getProperties")) {
        if (command.params.value("objectId").toString() == QLatin1String("gone"))
            return Answer::error(QStringLiteral("Could not find object with given id"));
        return Answer::result(
            {{"properties",
              QJsonArray{
                  QJsonObject{{"name", "b"}, {"value", QJsonObject{{"type", "number"}, {"value", 2}}}},
                  QJsonObject{{"name", "10"}, {"value", QJsonObject{{"type", "string"}, {"value", "x"}}}},
                  QJsonObject{{"name", "a"},
                              {"value", QJsonObject{{"type", "object"},
                                                    {"objectId", "child-1"},
                                                    {"description", "Object"}}}}}}});
    }
    if (command.method == QLatin1String("Runtime.evaluate") &&
        command.params.value("objectGroup").toString() == QLatin1String("completion"))
        return returned(QJsonArray{"body", "head"});
    if (command.method == QLatin1String("Runtime.evaluate") &&
        command.params.value("expression").toString().startsWith(QLatin1String("JSON.stringify(")))
        return returned(QStringLiteral("[390,844]"));
    if (command.method == QLatin1String("Runtime.callFunctionOn"))
        return returned(QStringLiteral("{\n  \"a\": 1\n}"));
    if (command.method == QLatin1String("Page.enable"))
        return Answer::result({});
    if (command.method == QLatin1String("Page.snapshotRect") && captureAnswers)
        return Answer::result(
            {{"dataURL", "data:image/png;base64," + QString::fromLatin1(kImage.toBase64())}});
    if (command.method == QLatin1String("Runtime.evaluate") ||
        command.method == QLatin1String("Page.snapshotRect"))
        return Answer::silence();
    return std::nullopt;
}

// What completions delivered, and whether any arrived off the main thread.
struct Delivered {
    QList<QList<PropertyNode>> rows;
    QList<QStringList> names;
    QList<std::optional<QString>> texts;
    QList<std::optional<QByteArray>> images;
    int offMainThread = 0;

    void check() {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            ++offMainThread;
    }
    auto rowsTo() {
        return [this](QList<PropertyNode> value) {
            check();
            rows.append(std::move(value));
        };
    }
    auto namesTo() {
        return [this](QStringList value) {
            check();
            names.append(std::move(value));
        };
    }
    auto textTo() {
        return [this](std::optional<QString> value) {
            check();
            texts.append(std::move(value));
        };
    }
    auto imageTo() {
        return [this](std::optional<QByteArray> value) {
            check();
            images.append(std::move(value));
        };
    }
};

// The Shop application with `pages`, capturing, answering the way a page does unless told otherwise.
struct Rig : ConnectionRig {
    explicit Rig(const std::vector<Page>& pages) {
        sim().setAnswerer([](const Command& command) { return pageAnswers(command); });
        QVERIFY(openShop(pages));
    }
};

QStringList names(const QList<PropertyNode>& rows) {
    QStringList result;
    for (const PropertyNode& row : rows)
        result.append(row.name);
    return result;
}

} // namespace

class TestPageObjects : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }
    void objectRequestsAnswerOnTheMainThread();
    void pageWithoutSession();
    void snapshots();
    void requestsEndWithTheirSession();
    void stoppingAnswersNothing();
    void completionsDroppedWithTheConnection();
};

void TestPageObjects::objectRequestsAnswerOnTheMainThread() {
    Rig rig({webPage(1), webPage(2, Targets::atOnce, QStringLiteral("page-2"))});
    QVERIFY(rig.waitEnabled(1));
    QVERIFY(rig.waitEnabled(2));

    Delivered got;
    for (const qint64 page : {1, 2}) {
        rig.connection().properties(QStringLiteral("obj-1"), rig.key(kShop, page), got.rowsTo());
        rig.connection().completions(QStringLiteral("document"), rig.key(kShop, page), got.namesTo());
        rig.connection().serialize(QStringLiteral("obj-1"), rig.key(kShop, page), true, got.textTo());
    }
    rig.connection().properties(QStringLiteral("gone"), rig.key(kShop, 1), got.rowsTo());
    QTRY_COMPARE(got.rows.size() + got.names.size() + got.texts.size(), 7);
    QCOMPARE(got.offMainThread, 0);

    QCOMPARE(names(got.rows[0]), (QStringList{"10", "a", "b"}));
    QCOMPARE(got.rows[0][1].objectID, std::optional<QString>("child-1"));
    QCOMPARE(names(got.rows[1]), (QStringList{"10", "a", "b"}));
    QCOMPARE(got.rows[2].size(), 1);
    QCOMPARE(got.rows[2][0].value, QStringLiteral("Could not find object with given id"));
    QCOMPARE(got.names, (QList<QStringList>{{"body", "head"}, {"body", "head"}}));
    QCOMPARE(got.texts[0], std::optional<QString>("{\n  \"a\": 1\n}"));

    // The page with a target got them wrapped for it.
    const auto serialised = rig.sim().commands(QStringLiteral("Runtime.callFunctionOn"));
    QCOMPARE(serialised.size(), std::size_t(2));
    QCOMPARE(serialised[0].targetID, QString());
    QCOMPARE(serialised[1].targetID, QStringLiteral("page-2"));
    QVERIFY(serialised[1]
                .params.value("functionDeclaration")
                .toString()
                .contains(QStringLiteral("var JSONMode = true;")));
}

void TestPageObjects::pageWithoutSession() {
    Rig rig({webPage(1)});
    QVERIFY(rig.waitEnabled(1));

    // A page the connection does not know has no session: nothing is sent. The snapshot still says
    // that it got nothing, since its callers have no time limit of their own.
    Delivered got;
    const PageKey unknown = rig.key(kShop, 404);
    rig.connection().properties(QStringLiteral("obj-1"), unknown, got.rowsTo());
    rig.connection().completions(std::nullopt, unknown, got.namesTo());
    rig.connection().serialize(QStringLiteral("obj-1"), unknown, false, got.textTo());
    rig.connection().snapshot(unknown, true, got.imageTo());
    QTRY_COMPARE(got.images.size(), 1);
    QCOMPARE(got.images[0], std::nullopt);
    QCOMPARE(got.offMainThread, 0);
    // Beyond the request deadline nothing else arrives.
    QTest::qWait(1800);
    QCOMPARE(got.rows.size() + got.names.size() + got.texts.size(), 0);
    QCOMPARE(got.images.size(), 1);
    QVERIFY(rig.sim().commands(kShop, 404).empty());
}

void TestPageObjects::snapshots() {
    Rig rig({webPage(1), webPage(2, Targets::atOnce, QStringLiteral("page-2"))});
    QVERIFY(rig.waitEnabled(1));
    QVERIFY(rig.waitEnabled(2));

    Delivered got;
    rig.connection().snapshot(rig.key(kShop, 1), true, got.imageTo());
    rig.connection().snapshot(rig.key(kShop, 2), false, got.imageTo());
    QTRY_COMPARE(got.images.size(), 2);
    QCOMPARE(got.images[0], std::optional<QByteArray>(kImage));
    QCOMPARE(got.images[1], std::optional<QByteArray>(kImage));
    QCOMPARE(got.offMainThread, 0);

    for (const qint64 page : {1, 2}) {
        QStringList methods;
        for (const Command& command : rig.sim().commands(kShop, page))
            methods.append(command.method);
        QCOMPARE(methods.mid(4), (QStringList{"Page.enable", "Runtime.evaluate", "Page.snapshotRect"}));
    }
    const auto captures = rig.sim().commands(QStringLiteral("Page.snapshotRect"));
    QCOMPARE(captures.size(), std::size_t(2));
    std::map<qint64, QJsonObject> byPage;
    for (const Command& command : captures)
        byPage[command.pageID] = command.params;
    QCOMPARE(
        byPage[1],
        (QJsonObject{{"x", 0}, {"y", 0}, {"width", 390}, {"height", 844}, {"coordinateSystem", "Page"}}));
    QCOMPARE(byPage[2].value("coordinateSystem").toString(), QStringLiteral("Viewport"));
}

// A session can end while requests are out: capture switched off, or the page gone from its
// application's listing. The page will never answer them: an evaluation and a snapshot end then,
// each once; other requests are dropped.
void TestPageObjects::requestsEndWithTheirSession() {
    for (const bool captureOff : {true, false}) {
        Rig rig({webPage(1)});
        rig.sim().setAnswerer([](const Command& command) {
            // Nothing is answered but the enabling commands.
            return command.method.startsWith(QLatin1String("Inspector.")) ||
                           command.method.endsWith(QLatin1String(".enable"))
                       ? std::nullopt
                       : std::optional<Answer>(Answer::silence());
        });
        QVERIFY(rig.waitEnabled(1));

        Delivered got;
        rig.connection().evaluate(QStringLiteral("slow()"), rig.key(kShop, 1));
        rig.connection().properties(QStringLiteral("obj-1"), rig.key(kShop, 1), got.rowsTo());
        rig.connection().snapshot(rig.key(kShop, 1), false, got.imageTo());
        QVERIFY(rig.sim().waitForCommand(kShop, 1, QStringLiteral("Runtime.getProperties")));
        QVERIFY(rig.sim().waitForCommand(kShop, 1, QStringLiteral("Page.enable")));

        if (captureOff) {
            rig.connection().setCapturing(false);
        } else {
            rig.sim().removePage(kShop, 1);
            rig.sim().sendListing(kShop);
        }
        // Well before the request deadline.
        QTRY_COMPARE_WITH_TIMEOUT(rig.results().size(), std::size_t(1), 900);
        QCOMPARE(rig.results()[0].text, kNotAttached);
        QCOMPARE(rig.results()[0].level, ConsoleLevel::error);
        QTRY_COMPARE_WITH_TIMEOUT(got.images.size(), 1, 900);
        QCOMPARE(got.images[0], std::nullopt);

        // Nothing more later: no time-out answers for requests that ended or were dropped.
        QTest::qWait(1800);
        QCOMPARE(rig.results().size(), std::size_t(1));
        QCOMPARE(got.images.size(), 1);
        QCOMPARE(got.rows.size(), 0);
        QCOMPARE(got.offMainThread, 0);
    }
}

void TestPageObjects::stoppingAnswersNothing() {
    Rig rig({webPage(1)});
    rig.sim().setAnswerer([](const Command& command) { return pageAnswers(command, false); });
    QVERIFY(rig.waitEnabled(1));

    Delivered got;
    rig.connection().evaluate(QStringLiteral("slow()"), rig.key(kShop, 1));
    rig.connection().snapshot(rig.key(kShop, 1), true, got.imageTo());
    QVERIFY(rig.sim().waitForCommand(kShop, 1, QStringLiteral("Page.snapshotRect")));
    rig.connection().stop();
    QTRY_COMPARE(rig.closes, 1);
    QTest::qWait(1800);
    QCOMPARE(rig.results().size(), std::size_t(0));
    QCOMPARE(got.images.size(), 0);
}

void TestPageObjects::completionsDroppedWithTheConnection() {
    Rig rig({webPage(1)});
    QVERIFY(rig.waitEnabled(1));

    // The answer reaches the connection's queue, but the owner's thread has not run since: the
    // completion waits there when the connection goes, and must then never run.
    auto got = std::make_shared<Delivered>();
    rig.connection().properties(QStringLiteral("obj-1"), rig.key(kShop, 1), got->rowsTo());
    QVERIFY(rig.sim().waitForCommand(kShop, 1, QStringLiteral("Runtime.getProperties")));
    std::this_thread::sleep_for(300ms);
    rig.dropConnection();
    QTest::qWait(300);
    QCOMPARE(got->rows.size(), 0);
}

QTEST_GUILESS_MAIN(TestPageObjects)
#include "tst_pageobjects.moc"
