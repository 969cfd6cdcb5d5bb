// Requests into page sessions: answers, time-outs and the pages that stop answering, and the
// evaluation of JavaScript with its single result entry.
#include "ConnectionRig.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

namespace {

using Page = FakeInspectorDaemon::Page;
using Command = FakeInspectorDaemon::Command;
using Answer = FakeInspectorDaemon::Answer;
using Targets = FakeInspectorDaemon::Targets;

const QString kShop = ConnectionRig::kShop;
const QString kStoppedAnswering = QString::fromUtf8("This page has stopped answering. Its main thread is "
                                                    "busy \u2014 script that never returns will do it \u2014 "
                                                    "and nothing sent over the inspector can reach it until "
                                                    "that finishes. Reload the webview to get it back.");
const QString kAnsweringAgain = QStringLiteral("The page is answering again.");
const QString kNotAttached = QStringLiteral("This webview is not attached. It may have navigated or closed.");

} // namespace

class ConnectionRequestsTest : public QObject {
    Q_OBJECT

    static void open(ConnectionRig& rig, const std::vector<ConnectionRig::Page>& pages) {
        QVERIFY(rig.openShop(pages));
    }
    static bool waitEnabled(ConnectionRig& rig, qint64 pageID) { return rig.waitEnabled(pageID); }
    static int countText(const ConnectionRig& rig, const QString& text) { return rig.countText(text); }

    static bool unresponsive(const ConnectionRig& rig, const PageKey& key) {
        const auto page = rig.page(key);
        return page && page->unresponsive;
    }

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void pageThatStopsAnsweringIsReportedOncePerEpisode() {
        ConnectionRig rig;
        open(rig, {webPage(1), webPage(2)});
        QVERIFY(waitEnabled(rig, 1));
        QVERIFY(waitEnabled(rig, 2));
        const PageKey page = rig.key(kShop, 1);
        Answers answers;

        // Nothing answers: after the deadline the handler hears why, on the connection's queue.
        rig.connection().request(QStringLiteral("Runtime.getProperties"), {{"objectId", "o"}}, page,
                                 answers.handler());
        QTRY_COMPARE_WITH_TIMEOUT(answers.count(), 1, 10000);
        QCOMPARE(answers.errorMessage(0),
                 QStringLiteral("The page stopped answering, so Runtime.getProperties never came back."));
        QCOMPARE(answers.threads, QStringList{"tavolin.inspector.SIM-1"});

        // The page is reported as not answering, in its list entry and with one warning.
        QTRY_VERIFY(unresponsive(rig, page));
        QVERIFY(!unresponsive(rig, rig.key(kShop, 2)));
        QTRY_COMPARE(countText(rig, kStoppedAnswering), 1);
        QCOMPARE(rig.reports().front().level, ConsoleLevel::warning);
        QCOMPARE(rig.reports().front().page, page);

        // Two more time-outs in the same episode: no second warning.
        rig.connection().request(QStringLiteral("Runtime.callFunctionOn"), {}, page, answers.handler());
        rig.connection().request(QStringLiteral("Page.snapshotRect"), {}, page, answers.handler());
        QTRY_COMPARE_WITH_TIMEOUT(answers.count(), 3, 10000);
        QCOMPARE(answers.errorMessage(2),
                 QStringLiteral("The page stopped answering, so Page.snapshotRect never came back."));
        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(countText(rig, kStoppedAnswering), 1);

        // A console message ends the episode: the notice comes before the message itself.
        rig.sim().sendConsole(kShop, 1, logMessage(QStringLiteral("back")));
        QTRY_COMPARE(countText(rig, QStringLiteral("back")), 1);
        QCOMPARE(rig.texts().mid(rig.texts().size() - 2), (QStringList{kAnsweringAgain, "back"}));
        QCOMPARE(rig.reports().back().level, ConsoleLevel::log);
        QTRY_VERIFY(!unresponsive(rig, page));

        // A second episode warns again, and an answer to a pending request ends it.
        rig.connection().request(QStringLiteral("Runtime.getProperties"), {{"objectId", "late"}}, page,
                                 answers.handler());
        QTRY_COMPARE_WITH_TIMEOUT(countText(rig, kStoppedAnswering), 2, 10000);
        QVERIFY(unresponsive(rig, page));
        rig.connection().request(QStringLiteral("Runtime.getProperties"), {{"objectId", "answered"}}, page,
                                 answers.handler());
        const auto pending = rig.sim().waitForCommand(
            kShop, 1, QStringLiteral("Runtime.getProperties"), 5s,
            [](const Command& command) { return command.params.value("objectId") == "answered"; });
        QVERIFY(pending);
        rig.sim().respond(*pending, Answer::result({{"properties", QJsonArray()}}));
        QTRY_COMPARE(countText(rig, kAnsweringAgain), 2);
        QTRY_VERIFY(!unresponsive(rig, page));
        QTRY_COMPARE(answers.count(), 5);
        QCOMPARE(rig.reports().size(), std::size_t(4));
        QCOMPARE(rig.strayCallbacks(), 0);
    }

    void evaluationResults() {
        ConnectionRig rig;
        open(rig, {webPage(1), webPage(2, Targets::atOnce, QStringLiteral("page-1"))});
        // Each expression answers in one of the shapes a page uses.
        rig.sim().setAnswerer([](const Command& command) -> std::optional<Answer> {
            if (command.method != QLatin1String("Runtime.evaluate"))
                return std::nullopt;
            const QString expression = command.params.value("expression").toString();
            const auto value = [](const QJsonObject& result, bool thrown = false) {
                return Answer::result({{"result", result}, {"wasThrown", thrown}});
            };
            if (expression == QLatin1String("6 * 7"))
                return value({{"type", "number"}, {"value", 42}, {"description", "42"}});
            if (expression == QLatin1String("boom()"))
                return value({{"type", "object"},
                              {"subtype", "error"},
                              {"description", "Error: boom"},
                              {"objectId", "err-1"}},
                             true);
            if (expression == QLatin1String("null"))
                return value({{"type", "object"}, {"subtype", "null"}, {"value", QJsonValue::Null}});
            if (expression == QLatin1String("document"))
                return value({{"type", "object"},
                              {"subtype", "node"},
                              {"description", "#document"},
                              {"objectId", "doc-1"}});
            if (expression == QLatin1String("refused"))
                return Answer::error(QStringLiteral("Runtime domain is disabled"));
            return expression == QLatin1String("vague") ? Answer::errorWithoutMessage() : Answer::silence();
        });
        QVERIFY(waitEnabled(rig, 1));
        QVERIFY(waitEnabled(rig, 2));

        const PageKey direct = rig.key(kShop, 1);
        const PageKey wrapped = rig.key(kShop, 2);
        rig.connection().evaluate(QStringLiteral("6 * 7"), direct);
        rig.connection().evaluate(QStringLiteral("boom()"), wrapped);
        rig.connection().evaluate(QStringLiteral("null"), direct);
        rig.connection().evaluate(QStringLiteral("document"), wrapped);
        rig.connection().evaluate(QStringLiteral("refused"), direct);
        rig.connection().evaluate(QStringLiteral("vague"), direct);
        QTRY_COMPARE(rig.results().size(), std::size_t(6));

        // What was sent.
        const auto sent = rig.sim().commands(QStringLiteral("Runtime.evaluate"));
        QCOMPARE(sent.size(), std::size_t(6));
        QCOMPARE(sent[0].params, (QJsonObject{{"expression", "6 * 7"},
                                              {"objectGroup", "console"},
                                              {"includeCommandLineAPI", true},
                                              {"generatePreview", true},
                                              {"emulateUserGesture", true}}));
        QCOMPARE(sent[1].targetID, QStringLiteral("page-1"));

        std::map<QString, ConsoleEntry> byText;
        for (const ConsoleEntry& entry : rig.results()) {
            QCOMPARE(entry.source, QStringLiteral("console-input"));
            byText.emplace(entry.text, entry);
        }
        QCOMPARE(byText.size(), std::size_t(6));
        QCOMPARE(byText.at("42").level, ConsoleLevel::log);
        QCOMPARE(byText.at("Error: boom").level, ConsoleLevel::error);
        QCOMPARE(byText.at("Error: boom").page, wrapped);
        QCOMPARE(byText.at("Error: boom").objects, (QList<RemoteObjectRef>{{"err-1", "Error: boom"}}));
        QVERIFY(byText.at("null").objects.isEmpty());
        QCOMPARE(byText.at("#document").objects, (QList<RemoteObjectRef>{{"doc-1", "#document"}}));
        QCOMPARE(byText.at("Runtime domain is disabled").level, ConsoleLevel::error);
        QCOMPARE(byText.at("evaluation failed").level, ConsoleLevel::error);
        QCOMPARE(rig.strayCallbacks(), 0);
    }

    void evaluationThatNeverComesBackExpires() {
        ConnectionRig rig;
        open(rig, {webPage(1)});
        QVERIFY(waitEnabled(rig, 1));
        rig.connection().evaluate(QStringLiteral("while (true) {}"), rig.key(kShop, 1));
        QTRY_COMPARE_WITH_TIMEOUT(rig.results().size(), std::size_t(1), 10000);
        const ConsoleEntry result = rig.results().front();
        QCOMPARE(result.text,
                 QStringLiteral("The page stopped answering, so the expression you ran never came back."));
        QCOMPARE(result.level, ConsoleLevel::error);
        QTRY_COMPARE(countText(rig, kStoppedAnswering), 1);
        QVERIFY(rig.waitForPolls(3));
        QCOMPARE(rig.results().size(), std::size_t(1));
    }

    void evaluationWaitsForAPageThatAttachesLate() {
        InspectorTiming timing = ConnectionRig::fastTiming();
        timing.queuedExpiry = 2000ms;
        ConnectionRig rig(timing);
        open(rig, {});
        rig.sim().setAnswerer([](const Command& command) -> std::optional<Answer> {
            if (command.method == QLatin1String("Runtime.evaluate"))
                return Answer::result({{"result", QJsonObject{{"type", "string"}, {"value", "ready"}}}});
            return std::nullopt;
        });
        QTRY_COMPARE(rig.lastApps().size(), 1);

        // Asked before the page exists; the page shows up in a later listing.
        QElapsedTimer clock;
        clock.start();
        rig.connection().evaluate(QStringLiteral("document.readyState"), rig.key(kShop, 9));
        QVERIFY(rig.waitForPolls(1));
        rig.sim().addPage(kShop, webPage(9));
        QTRY_COMPARE(rig.results().size(), std::size_t(1));
        QCOMPARE(rig.results().front().text, QStringLiteral("ready"));
        QCOMPARE(rig.results().front().page, rig.key(kShop, 9));

        // Sent once, after the session was enabled; the queue's expiry then finds nothing.
        const auto commands = rig.sim().commands(kShop, 9);
        QCOMPARE(commands.size(), std::size_t(5));
        QCOMPARE(commands[3].method, QStringLiteral("Inspector.initialized"));
        QCOMPARE(commands[4].method, QStringLiteral("Runtime.evaluate"));
        QTest::qWait(int(std::max<qint64>(0, 2600 - clock.elapsed())));
        QCOMPARE(rig.results().size(), std::size_t(1));
        QCOMPARE(rig.entries.size(), std::size_t(1));
    }

    void evaluationOnAPageThatNeverAttachesFails() {
        ConnectionRig rig;
        Page held = webPage(2);
        held.heldBy = QStringLiteral("ANOTHER-CLIENT");
        open(rig, {held});
        QTRY_COMPARE(rig.lastPages().size(), 1);

        // Twice the same text on a page nobody lists, once on a page held elsewhere.
        rig.connection().evaluate(QStringLiteral("1"), rig.key(kShop, 404));
        rig.connection().evaluate(QStringLiteral("1"), rig.key(kShop, 404));
        rig.connection().evaluate(QStringLiteral("2"), rig.key(kShop, 2));
        QTRY_COMPARE(rig.results().size(), std::size_t(3));
        for (const ConsoleEntry& result : rig.results()) {
            QCOMPARE(result.text, kNotAttached);
            QCOMPARE(result.level, ConsoleLevel::error);
        }
        QCOMPARE(rig.results()[0].page, rig.key(kShop, 404));
        QCOMPARE(rig.results()[2].page, rig.key(kShop, 2));
        QCOMPARE(rig.setupCount(kShop, 2), 0);
        QVERIFY(rig.waitForPolls(3));
        QCOMPARE(rig.results().size(), std::size_t(3));
    }

    void evaluationStillQueuedWhenStoppedGivesNothing() {
        ConnectionRig rig;
        open(rig, {});
        QTRY_COMPARE(rig.lastApps().size(), 1);
        rig.connection().evaluate(QStringLiteral("1"), rig.key(kShop, 404));
        rig.connection().stop();
        QTRY_COMPARE(rig.closes, 1);
        QTest::qWait(800);
        QCOMPARE(rig.results().size(), std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(ConnectionRequestsTest)
#include "tst_connection_requests.moc"
