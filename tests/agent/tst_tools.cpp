// The JSON-RPC methods and the five tools, over a hub connected to a fake simulator and a device.
#include "agent/MCPDispatcher.h"
#include "console/ConsoleHub.h"
#include "inspector/InspectorTiming.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"

#include <QBuffer>
#include <QImage>
#include <QJsonArray>
#include <QTest>

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

    QJsonObject content() const { return response->value("result")["content"][0].toObject(); }
    QString text() const { return content().value("text").toString(); }
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
    QString text(const QString& tool, const QJsonObject& arguments = {}) {
        return call(tool, arguments)->text();
    }

    void log(const PageKey& page, const QString& text, ConsoleLevel level = ConsoleLevel::log,
             qint64 repeat = 1) {
        m_hub->append(
            {.page = page, .level = level, .source = "console-api", .text = text, .repeatCount = repeat});
    }

private slots:
    // One hub for the whole suite; the tests run in order, the last one swaps the hub.
    void initTestCase() {
        InspectorTiming timing;
        timing.enableFallback = 50ms;
        timing.poll = 300ms;
        InspectorTiming::set(timing);
        m_phone = std::make_unique<FakeSimulator>();
        QVERIFY(m_phone->start());
        m_phone->addApp({"PID:10", "Safari", std::nullopt, std::nullopt});
        m_phone->addApp({"com.example.mail", "Mail", std::nullopt, std::nullopt});
        m_phone->addPage("PID:10", FakeInspectorDaemon::page(1, "Shop", "https://shop.example/cart"));
        m_phone->addPage("PID:10", FakeInspectorDaemon::page(2, "Docs", "https://docs.example/shop-guide"));
        m_phone->addPage("com.example.mail",
                         FakeInspectorDaemon::page(3, {}, "file:///var/Bundle/Mail.app/www/index.html"));
        m_script = std::make_unique<ScriptedDiscovery>();
        m_script->simulators = {ScriptedDiscovery::simulator(kPhone, "iPhone 15", m_phone->socketPath())};
        m_script->devices = {
            InspectableDevice{"PAD", "Pad", "iOS 17.5", InspectableDevice::Kind::device, std::nullopt}};
        m_hub = std::make_unique<ConsoleHub>(m_script->discovery());
        m_dispatcher = std::make_unique<MCPDispatcher>(m_hub.get());
        QVERIFY(ScriptedDiscovery::scan(*m_hub));
        QVERIFY(m_phone->waitUntil([&] {
            const auto shop = m_phone->openSessions("PID:10", 1), docs = m_phone->openSessions("PID:10", 2);
            return !shop.empty() && shop.front().consoleEnabled && !docs.empty() &&
                   docs.front().consoleEnabled;
        }));
        QTRY_COMPARE(m_hub->pages(kPhone).size(), 3);
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
        QCOMPARE(text("list_webviews"),
                 "iPhone 15 (iOS 17.5, simulator)\n  Mail\n    index.html [www/index.html] 0 messages\n"
                 "  Safari (pid 10)\n    Docs [docs.example/shop-guide] 3 messages\n"
                 "    Shop [shop.example/cart] 1 messages\nPad (iOS 17.5, device)");
        // Without a name the busiest page; an exact title beats an earlier page whose URL contains it.
        QCOMPARE(text("read_console", {{"limit", 1}}), "LOG: doc 2");
        QCOMPARE(text("read_console", {{"webview", "Shop"}}),
                 QString::fromUtf8("WARNING (×3): added to cart"));
        QCOMPARE(text("read_console", {{"webview", "GUIDE"}, {"limit", 0}}), "LOG: doc 2");
        // A name that matches nothing reads the whole first device.
        QCOMPARE(text("read_console", {{"webview", "nothing like it"}}).count('\n'), 3);
        QCOMPARE(text("read_console", {{"level", "Error"}}), "No messages.");
        QVERIFY(text("read_console", {{"level", "warning"}, {"webview", "Shop"}}).startsWith("WARNING"));
        for (int i = 0; i < 1200; ++i)
            log(m_docs, "bulk");
        QCOMPARE(text("read_console", {{"limit", 5000}}).count('\n'), 999);
    }

    void evaluation() {
        m_dispatcher->setEvaluationLimit(800ms);
        std::mutex lock;
        std::optional<Command> held; // the expression the page never answers in time
        m_phone->setAnswerer([&](const Command& command) -> std::optional<Answer> {
            const QString expression = command.params.value("expression").toString();
            if (command.method != "Runtime.evaluate")
                return std::nullopt;
            if (expression == "1+1")
                return evaluated("number", 2);
            if (expression == "boom()")
                return evaluated("object", "ReferenceError: boom", true);
            std::lock_guard guard(lock);
            held = command;
            return Answer::silence();
        });
        auto answered = call("evaluate", {{"expression", "1+1"}, {"webview", "Shop"}});
        auto thrown = call("evaluate", {{"expression", "boom()"}, {"webview", "Shop"}});
        auto slow = call("evaluate", {{"expression", "spin()"}, {"webview", "Shop"}});
        QTRY_VERIFY(answered->replies == 1 && answered->text() == "2" && !answered->isError());
        QTRY_VERIFY(thrown->replies == 1 && thrown->text() == "ReferenceError: boom" && thrown->isError());
        QTRY_COMPARE_WITH_TIMEOUT(slow->replies, 1, 3000);
        QCOMPARE(slow->text(), "Timed out waiting for a result");
        {
            std::lock_guard guard(lock);
            m_phone->respond(*held, evaluated("string", "late"));
        }
        // The late result is stored, not sent.
        QTRY_COMPARE(m_hub->entries(ConsoleScope::page(m_shop)).last().text, "late");
        QCOMPARE(slow->replies, 1);
        QCOMPARE(text("evaluate", {{"webview", "Shop"}}), "expression is required");
        QCOMPARE(text("evaluate", {{"expression", "1"}, {"webview", "zzz"}}), kNoWebview);
    }

    // Each result reaches its own caller: not a caller that timed out before, nor one waiting while
    // the user's own evaluation (which nobody waits for) is answered.
    void evaluationsAnswerTheirOwnCaller() {
        m_dispatcher->setEvaluationLimit(800ms);
        m_phone->setAnswerer([&](const Command& command) -> std::optional<Answer> {
            if (command.method != "Runtime.evaluate")
                return std::nullopt;
            const QString expression = command.params.value("expression").toString();
            return expression == "spin()" ? Answer::silence() : evaluated("string", expression);
        });
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

    void screenshotsGoToTheCallThatAsked() {
        m_phone->setAnswerer([&](const Command& command) -> std::optional<Answer> {
            const QSize size = command.pageID == 1 ? QSize(2400, 1200) : QSize(300, 200);
            if (command.method == "Runtime.evaluate") // the page's size
                return evaluated("string", QStringLiteral("[%1,%2]").arg(size.width()).arg(size.height()));
            if (command.method != "Page.snapshotRect")
                return std::nullopt;
            QImage image(size, QImage::Format_RGB32);
            image.fill(Qt::red);
            QByteArray png;
            QBuffer buffer(&png);
            image.save(&buffer, "PNG");
            return Answer::result(
                {{"dataURL", "data:image/png;base64," + QString::fromLatin1(png.toBase64())}});
        });
        // Both are under way at once; each gets its own page's image, the larger one shrunk.
        auto shop = call("screenshot", {{"webview", "Shop"}}),
             docs = call("screenshot", {{"webview", "Docs"}});
        QTRY_VERIFY(shop->replies == 1 && docs->replies == 1);
        auto size = [](const Exchange& exchange) {
            return QImage::fromData(QByteArray::fromBase64(exchange.content()["data"].toString().toLatin1()))
                .size();
        };
        QVERIFY(size(*shop) == QSize(1200, 600) && size(*docs) == QSize(300, 200));
        QCOMPARE(text("screenshot", {{"webview", "zzz"}}), kNoWebview);
        QCOMPARE(Tools::shrink("not an image", 1200), "not an image");
    }

    void clearingTouchesTheFirstDeviceOnly() {
        const PageKey elsewhere{"PAD", "PID:1", 1};
        log(m_shop, "a");
        log(elsewhere, "b");
        QCOMPARE(text("clear_console"), "Cleared");
        QVERIFY(m_hub->entryCount(m_shop) == 0 && m_hub->entryCount(elsewhere) == 1);
        ConsoleHub empty(ConsoleHub::Discovery{});
        m_dispatcher->setHub(&empty);
        QCOMPARE(text("clear_console"), "No booted simulators or attached devices.");
        QCOMPARE(text("list_webviews"), "No booted simulators or attached devices.");
        QCOMPARE(text("read_console"), "No devices.");
        m_dispatcher->setHub(nullptr);
        QCOMPARE(text("list_webviews"), "Tavolin is not ready");
    }
};

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
