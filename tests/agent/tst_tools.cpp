// The JSON-RPC methods and the tools, over a hub connected to a fake simulator and a device; the
// official MCP client follows, waits on and awaits through an endpoint over the same hub.
#include "agent/MCPDispatcher.h"
#include "agent/MCPServer.h"
#include "console/ConsoleHub.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using Answer = FakeInspectorDaemon::Answer;
using Command = FakeInspectorDaemon::Command;

namespace {

const QString kPhone = QStringLiteral("11111111-1111-1111-1111-111111111111");
const QString kNoWebview = QStringLiteral("No matching webview. Call list_webviews first.");

// One message through the dispatcher: how often it was answered, and with what.
struct Exchange {
    int replies = 0;
    std::optional<QJsonObject> response;

    QString text() const { return response->value("result")["content"][0]["text"].toString(); }
    bool isError() const { return response->value("result")["isError"].toBool(); }
};

// The fake page's answer to an evaluation: a value, or an exception when `thrown`.
Answer evaluated(const QString& type, const QJsonValue& value, bool thrown = false) {
    return Answer::result(
        {{"result",
          QJsonObject{{"type", type}, {"value", value}, {"description", value.toVariant().toString()}}},
         {"wasThrown", thrown}});
}

} // namespace

class TestTools : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeSimulator> m_phone;
    std::unique_ptr<ScriptedDiscovery> m_script;
    std::unique_ptr<ConsoleHub> m_hub;
    std::unique_ptr<MCPDispatcher> m_dispatcher;
    const PageKey m_shop{kPhone, QStringLiteral("PID:10"), 1};
    const PageKey m_docs{kPhone, QStringLiteral("PID:10"), 2};
    std::mutex m_lock;
    std::optional<Command> m_held; // the last spin() the page never answers

    std::shared_ptr<Exchange> send(const QJsonObject& message) {
        auto exchange = std::make_shared<Exchange>();
        m_dispatcher->handle(message, [exchange](std::optional<QJsonObject> response) {
            ++exchange->replies;
            exchange->response = std::move(response);
        });
        return exchange;
    }
    std::shared_ptr<Exchange> call(const QString& tool, const QJsonObject& arguments = {}) {
        return send({{"id", 7},
                     {"method", "tools/call"},
                     {"params", QJsonObject{{"name", tool}, {"arguments", arguments}}}});
    }

    void log(const PageKey& page, const QString& text, ConsoleLevel level = ConsoleLevel::log,
             qint64 repeat = 1) {
        m_hub->append(
            {.page = page, .level = level, .source = "console-api", .text = text, .repeatCount = repeat});
    }

private slots:
    // One hub for the whole suite; the tests run in order, the last one swaps the hub.
    void initTestCase() {
        m_phone = std::make_unique<FakeSimulator>();
        QVERIFY(m_phone->start());
        m_phone->addApp({"PID:10", "Safari", std::nullopt, std::nullopt});
        m_phone->addPage("PID:10", FakeInspectorDaemon::page(1, "Shop", "https://shop.example/cart"));
        m_phone->addPage("PID:10", FakeInspectorDaemon::page(2, "Docs", "https://docs.example/shop-guide"));
        m_script = std::make_unique<ScriptedDiscovery>();
        m_script->simulators = {ScriptedDiscovery::simulator(kPhone, "iPhone 15", m_phone->socketPath())};
        m_script->devices = {
            InspectableDevice{"PAD", "Pad", "iOS 17.5", InspectableDevice::Kind::device, std::nullopt}};
        m_hub = std::make_unique<ConsoleHub>(m_script->discovery());
        m_dispatcher = std::make_unique<MCPDispatcher>(m_hub.get());
        QVERIFY(ScriptedDiscovery::scan(*m_hub));
        QTRY_COMPARE(m_hub->pages(kPhone).size(), 2);
    }

    void protocolMethods() {
        auto nullId = send({{"id", QJsonValue::Null}, {"method", "ping"}});
        QVERIFY(nullId->response->contains("id") && nullId->response->value("id").isNull());
        auto notification = send({{"method", "notifications/initialized"}});
        QVERIFY(notification->replies == 1 && !notification->response);
        auto unknown = send({{"id", "a"}, {"method", "notifications/initialized"}});
        QCOMPARE(unknown->response->value("error")["code"].toInt(), MCPDispatcher::kUnknownMethod);
        QCOMPARE(send({{"id", 5}, {"method", "tools/call"}})->text(), "Unknown tool ");
    }

    void listingAndReading() {
        for (int i = 0; i < 3; ++i)
            log(m_docs, QStringLiteral("doc %1").arg(i));
        log(m_shop, "added to cart", ConsoleLevel::warning, 3);
        // The listing's layout is checked end to end, in tst_app; a device without pages is not there.
        QVERIFY(call("list_webviews")
                    ->text()
                    .endsWith("3 messages\n    Shop [shop.example/cart] 1 messages\n"
                              "Pad (iOS 17.5, device)"));
        // Without a name the busiest page; an exact title beats an earlier page whose URL contains it.
        QCOMPARE(call("read_console", {{"limit", 1}})->text(), "LOG: doc 2");
        QCOMPARE(call("read_console", {{"webview", "Shop"}})->text(),
                 QString::fromUtf8("WARNING (×3): added to cart"));
        QCOMPARE(call("read_console", {{"webview", "GUIDE"}, {"limit", 0}})->text(), "LOG: doc 2");
        // A name that matches nothing reads the whole first device.
        QCOMPARE(call("read_console", {{"webview", "nothing like it"}})->text().count('\n'), 3);
        QCOMPARE(call("read_console", {{"level", "Error"}})->text(), "No messages.");
        QVERIFY(
            call("read_console", {{"level", "warning"}, {"webview", "Shop"}})->text().startsWith("WARNING"));
        for (int i = 0; i < 1200; ++i)
            log(m_docs, "bulk");
        QCOMPARE(call("read_console", {{"limit", 5000}})->text().count('\n'), 999);
    }

    void evaluation() {
        m_dispatcher->setEvaluationLimit(800ms);
        m_phone->setAnswerer([this](const Command& command) -> std::optional<Answer> {
            const QString expression = command.params.value("expression").toString();
            if (command.method != "Runtime.evaluate")
                return std::nullopt;
            if (expression == "boom()")
                return evaluated("object", "ReferenceError: boom", true);
            if (expression != "spin()")
                return evaluated("string", expression);
            std::lock_guard guard(m_lock);
            m_held = command;
            return Answer::silence();
        });
        auto thrown = call("evaluate", {{"expression", "boom()"}, {"webview", "Shop"}});
        auto slow = call("evaluate", {{"expression", "spin()"}, {"webview", "Shop"}});
        QTRY_VERIFY(thrown->replies == 1 && thrown->text() == "ReferenceError: boom" && thrown->isError());
        QTRY_COMPARE_WITH_TIMEOUT(slow->replies, 1, 3000);
        QCOMPARE(slow->text(), "Timed out waiting for a result");
        {
            std::lock_guard guard(m_lock);
            m_phone->respond(*m_held, evaluated("string", "late"));
        }
        // The late result is stored, not sent.
        QTRY_COMPARE(m_hub->entries(ConsoleScope::page(m_shop)).last().text, "late");
        QCOMPARE(slow->replies, 1);
        QCOMPARE(call("evaluate", {{"webview", "Shop"}})->text(), "expression is required");
        QCOMPARE(call("evaluate", {{"expression", "1"}, {"webview", "zzz"}})->text(), kNoWebview);
        QCOMPARE(call("screenshot", {{"webview", "zzz"}})->text(), kNoWebview);
        QVERIFY(!Tools::shrink("not an image", 1200)); // never sent as it came; a real one shrinks in tst_app
    }

    // Each result reaches its own caller: not a caller that timed out before, nor one waiting while
    // the user's own evaluation (which nobody waits for) is answered. The page answers as above.
    void evaluationsAnswerTheirOwnCaller() {
        auto stale = call("evaluate", {{"expression", "spin()"}, {"webview", "Shop"}});
        QTRY_COMPARE_WITH_TIMEOUT(stale->replies, 1, 3000);
        auto waiting = call("evaluate", {{"expression", "spin()"}, {"webview", "Shop"}});
        m_hub->evaluate("typed", m_shop);
        QTRY_COMPARE(m_hub->entries(ConsoleScope::page(m_shop)).last().text, "typed");
        auto fresh = call("evaluate", {{"expression", "fresh"}, {"webview", "Shop"}});
        QTRY_COMPARE(fresh->replies, 1);
        QCOMPARE(fresh->text(), "fresh");
        QTRY_COMPARE_WITH_TIMEOUT(waiting->replies, 1, 3000);
        QCOMPARE(waiting->text(), "Timed out waiting for a result");
        QCOMPARE(m_hub->waitingCount(m_shop), 0); // callers that timed out are forgotten
    }

    // Cursors and cut answers; the searches themselves are the official client's below.
    void cursorsAndBounds() {
        log(m_shop, "fresh line");
        const QString last = QString::number(m_hub->lastSequence());
        QCOMPARE(call("read_console", {{"webview", "Shop"}, {"since", last.toInt()}})->text(),
                 "No messages.\nnext since: " + last);
        // A wait ends with its dispatcher, unanswered.
        auto gone = std::make_unique<MCPDispatcher>(m_hub.get());
        gone->call("wait_for_console", {{"timeout", 0.1}},
                   [](QJsonObject) { QFAIL("answered after it went"); });
        gone.reset();
        QTest::qWait(200);
        const QString cut = Tools::bounded(QString(2 * Tools::kAnswerLimit, 'b'));
        QVERIFY(cut.size() == Tools::kAnswerLimit && cut.endsWith(QString::fromUtf8("b \u2026")));
    }

    void tallScreenshotsAreDecodedScaledDown() {
        // The whole image is beyond what the image reader may allocate; its scaled-down copy is not.
        const int allocationLimit = QImageReader::allocationLimit();
        QImageReader::setAllocationLimit(1); // MiB, against 3.6 for the image
        QImage tall(300, 3000, QImage::Format_RGB32);
        tall.fill(Qt::blue);
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(tall.save(&buffer, "PNG"));
        const std::optional<QByteArray> shrunk = Tools::shrink(png, 1200);
        QImageReader::setAllocationLimit(allocationLimit);
        QVERIFY(shrunk);
        const QImage image = QImage::fromData(*shrunk);
        QCOMPARE(image.size(), QSize(120, 1200));
        QCOMPARE(image.pixelColor(60, 600), QColor(Qt::blue));
    }

    void screenshotsThatNeverComeTimeOut() {
        m_dispatcher->setScreenshotLimit(500ms);
        m_phone->setAnswerer([](const Command& command) -> std::optional<Answer> {
            if (command.method == "Runtime.evaluate")
                return evaluated("string", "[300,200]");
            return std::nullopt; // the capture itself is never answered
        });
        auto silent = call("screenshot", {{"webview", "Docs"}, {"fullPage", true}});
        QTRY_COMPARE_WITH_TIMEOUT(silent->replies, 1, 3000);
        QVERIFY(silent->isError() && silent->text() == "Timed out waiting for the screenshot");
    }

    void theOfficialClientFollowsWaitsAndAwaits() {
        const QString node = QStandardPaths::findExecutable("node");
        if (node.isEmpty() || !QDir(TAVOLIN_SDK_DIR "/node_modules/@modelcontextprotocol/sdk").exists())
            QFAIL("node and the MCP SDK are needed: scripts/setup installs them in tests/agent/sdk");
        MCPServer server;
        QTcpServer probe; // a port nobody uses
        probe.listen(QHostAddress::LocalHost, 0);
        server.overridePort(probe.serverPort());
        probe.close();
        server.setMessageHandler([this](const QJsonObject& message, MCPServer::Reply reply) {
            m_dispatcher->handle(message, std::move(reply));
        });
        server.start();
        for (int i = 0; i < 1000; ++i)
            log(m_docs, QString(300, 'x'));
        m_phone->setAnswerer([this](const Command& command) -> std::optional<Answer> {
            const QString expression = command.params.value("expression").toString();
            const QString id = command.params.value("promiseObjectId").toString();
            if (expression == "logSoon()")
                QMetaObject::invokeMethod(this, [this] {
                    QTimer::singleShot(1000, this, [this] {
                        m_phone->sendConsole("PID:10", 1, {{"text", "ready"}});
                    });
                });
            if (command.method == "Runtime.evaluate")
                return Answer::result({{"result", QJsonObject{{"className", "Promise"},
                                                              {"description", "Promise"},
                                                              {"objectId", expression}}}});
            if (id == "resolves()")
                return evaluated("string", "Ada");
            return id == "rejects()" ? std::optional(evaluated("object", "Error: no user", true))
                                     : std::nullopt;
        });
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] {
            m_phone->sendConsole("PID:10", 1, {{"text", QStringLiteral("tick %1").arg(ticks++)}});
        });
        ticker.start(100);
        QProcess agent;
        agent.start(node, {TAVOLIN_SDK_DIR "/follow.mjs", server.endpoint()});
        QVERIFY(QTest::qWaitFor([&] { return agent.state() == QProcess::NotRunning; }, 60000));
        QVERIFY2(agent.exitCode() == 0, agent.readAllStandardError().constData());
        const QJsonObject out = QJsonDocument::fromJson(agent.readAllStandardOutput()).object();

        // Every tick exactly once, in order, across the three reads; the later two each brought new ones.
        QStringList polled;
        for (const QJsonValue poll : out["polls"].toArray())
            polled += poll.toVariant().toStringList();
        QVERIFY(out["polls"][1].toArray().size() > 0 && out["polls"][2].toArray().size() > 0);
        for (int i = 0; i < polled.size(); ++i)
            QCOMPARE(polled[i], QStringLiteral("LOG: tick %1").arg(i));
        QStringList answers;
        for (const char* key :
             {"regex", "invalid", "waited", "quiet", "resolves()", "rejects()", "settlesNever()"})
            answers << out[key]["text"].toString().section(" at offset", 0, 0) +
                           (out[key]["isError"].toBool() ? " (error)" : "");
        QCOMPARE(answers, (QStringList{"LOG: tick 0\nLOG: tick 1\nLOG: tick 2",
                                       "Invalid regular expression /(/: missing closing parenthesis (error)",
                                       "LOG: ready", "No matching message within 1 s.", "Ada",
                                       "Error: no user (error)", "Timed out waiting for a result (error)"}));
        const QString bounded = out["bounded"]["text"].toString();
        QVERIFY(bounded.startsWith("[") && bounded.contains("search or since]\nLOG: xxx") &&
                bounded.contains("\nnext since: ") && bounded.size() <= Tools::kAnswerLimit);
    }

    void clearingTouchesTheFirstDeviceOnly() {
        const PageKey elsewhere{"PAD", "PID:1", 1};
        log(m_shop, "a");
        log(elsewhere, "b");
        QCOMPARE(call("clear_console")->text(), "Cleared");
        QVERIFY(m_hub->entryCount(m_shop) == 0 && m_hub->entryCount(elsewhere) == 1);
        ConsoleHub empty(ConsoleHub::Discovery{});
        m_dispatcher->setHub(&empty);
        QCOMPARE(call("clear_console")->text(), "No booted simulators or attached devices.");
        QCOMPARE(call("list_webviews")->text(), "No booted simulators or attached devices.");
        QCOMPARE(call("read_console")->text(), "No devices.");
        m_dispatcher->setHub(nullptr);
        QCOMPARE(call("list_webviews")->text(), "Tavolin is not ready");
    }
};

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
