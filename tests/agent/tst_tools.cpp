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
const QString kPad = QStringLiteral("22222222-2222-2222-2222-222222222222");
const QString kNoWebview = QStringLiteral("No matching webview. Call list_webviews first.");

QByteArray png(int width, int height, Qt::GlobalColor color) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    image.save(&buffer, "PNG");
    return bytes;
}

// One message through the dispatcher: how often it was answered, and with what.
struct Exchange {
    int replies = 0;
    std::optional<QJsonObject> response;

    QJsonObject content() const { return response->value("result")["content"].toArray().first().toObject(); }
    QString text() const { return content().value("text").toString(); }
    bool isError() const { return response->value("result")["isError"].toBool(); }
};

} // namespace

class TestTools : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeSimulator> m_phone;
    std::unique_ptr<ScriptedDiscovery> m_script;
    std::unique_ptr<ConsoleHub> m_hub;
    std::unique_ptr<MCPDispatcher> m_dispatcher;
    const PageKey m_shop{kPhone, QStringLiteral("PID:10"), 1};
    const PageKey m_docs{kPhone, QStringLiteral("PID:10"), 2};

    std::shared_ptr<Exchange> send(const QJsonObject& message, MCPDispatcher* dispatcher = nullptr) {
        auto exchange = std::make_shared<Exchange>();
        (dispatcher ? dispatcher : m_dispatcher.get())
            ->handle(message, [exchange](std::optional<QJsonObject> response) {
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
        ConsoleEntry entry;
        entry.page = page;
        entry.level = level;
        entry.source = QStringLiteral("console-api");
        entry.text = text;
        entry.url = QStringLiteral("https://shop.example/app.js");
        entry.line = 4;
        entry.repeatCount = repeat;
        entry.receivedAt = QDateTime::currentDateTimeUtc();
        m_hub->append(entry);
    }

private slots:
    void initTestCase() {
        InspectorTiming timing;
        timing.enableFallback = 50ms;
        timing.poll = 300ms;
        InspectorTiming::set(timing);
    }

    void init() {
        m_phone = std::make_unique<FakeSimulator>();
        QVERIFY(m_phone->start());
        m_phone->addApp({QStringLiteral("PID:10"), QStringLiteral("Safari"), std::nullopt, std::nullopt});
        m_phone->addApp(
            {QStringLiteral("com.example.mail"), QStringLiteral("Mail"), std::nullopt, std::nullopt});
        m_phone->addPage("PID:10", FakeInspectorDaemon::page(1, "Shop", "https://shop.example/cart"));
        m_phone->addPage("PID:10", FakeInspectorDaemon::page(2, "Docs", "https://docs.example/shop-guide"));
        m_phone->addPage("com.example.mail",
                         FakeInspectorDaemon::page(3, {}, "file:///var/Bundle/Mail.app/www/index.html"));
        m_script = std::make_unique<ScriptedDiscovery>();
        m_script->simulators = {ScriptedDiscovery::simulator(kPhone, "iPhone 15", m_phone->socketPath())};
        m_script->devices = {
            InspectableDevice{kPad, "Pad", "iOS 17.5", InspectableDevice::Kind::device, std::nullopt}};
        m_hub = std::make_unique<ConsoleHub>(m_script->discovery());
        m_dispatcher = std::make_unique<MCPDispatcher>(m_hub.get());
        QVERIFY(ScriptedDiscovery::scan(*m_hub));
        QVERIFY(m_phone->waitUntil([&] {
            for (qint64 page : {1, 2}) {
                const auto sessions = m_phone->openSessions(QStringLiteral("PID:10"), page);
                if (sessions.empty() || !sessions.front().consoleEnabled)
                    return false;
            }
            return true;
        }));
        QTRY_COMPARE(m_hub->pages(kPhone).size(), 3);
    }

    void cleanup() {
        m_dispatcher.reset();
        m_hub.reset();
        m_script.reset();
        m_phone.reset();
    }

    void protocolMethods() {
        auto nullId = send({{"id", QJsonValue::Null}, {"method", "ping"}});
        QVERIFY(nullId->response->contains("id") && nullId->response->value("id").isNull());
        auto notification = send({{"method", "notifications/initialized"}});
        QCOMPARE(notification->replies, 1);
        QCOMPARE(notification->response, std::nullopt);
        auto unknown = send({{"id", "a"}, {"method", "notifications/initialized"}});
        QCOMPARE(unknown->response->value("error")["code"].toInt(), MCPDispatcher::kUnknownMethod);
        QCOMPARE(send({{"id", 5}, {"method", "tools/call"}})->text(), "Unknown tool ");
        MCPDispatcher unready;
        QCOMPARE(
            send({{"id", 6}, {"method", "tools/call"}, {"params", QJsonObject{{"name", "list_webviews"}}}},
                 &unready)
                ->text(),
            "Tavolin is not ready");
    }

    void listingAndReading() {
        for (int i = 0; i < 3; ++i)
            log(m_docs, QStringLiteral("doc %1").arg(i));
        log(m_shop, "added to cart", ConsoleLevel::warning, 3);
        QCOMPARE(text("list_webviews"), "iPhone 15 (iOS 17.5, simulator)\n"
                                        "  Mail\n"
                                        "    index.html [www/index.html] 0 messages\n"
                                        "  Safari (pid 10)\n"
                                        "    Docs [docs.example/shop-guide] 3 messages\n"
                                        "    Shop [shop.example/cart] 1 messages\n"
                                        "Pad (iOS 17.5, device)");
        // Without a name the busiest page; an exact title beats an earlier page whose URL contains it.
        QCOMPARE(text("read_console", {{"limit", 1}}), "LOG: doc 2 [app.js:4]");
        QCOMPARE(text("read_console", {{"webview", "Shop"}}),
                 QString::fromUtf8("WARNING (×3): added to cart [app.js:4]"));
        QCOMPARE(text("read_console", {{"webview", "GUIDE"}, {"limit", 0}}), "LOG: doc 2 [app.js:4]");
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
        std::mutex heldLock;
        std::vector<Command> held;
        m_phone->setAnswerer([&](const Command& command) -> std::optional<Answer> {
            const QString expression = command.params.value("expression").toString();
            if (command.method != "Runtime.evaluate")
                return std::nullopt;
            if (expression == "1+1")
                return Answer::result(
                    {{"result", QJsonObject{{"type", "number"}, {"value", 2}, {"description", "2"}}}});
            if (expression == "boom()")
                return Answer::result({{"result", QJsonObject{{"type", "object"},
                                                              {"subtype", "error"},
                                                              {"description", "ReferenceError: boom"}}},
                                       {"wasThrown", true}});
            std::lock_guard guard(heldLock);
            held.push_back(command);
            return Answer::silence();
        });
        auto answered = call("evaluate", {{"expression", "1+1"}, {"webview", "Shop"}});
        auto thrown = call("evaluate", {{"expression", "boom()"}, {"webview", "Shop"}});
        auto slow = call("evaluate", {{"expression", "spin()"}, {"webview", "Shop"}});
        QTRY_COMPARE(answered->replies, 1);
        QCOMPARE(answered->text(), "2");
        QVERIFY(!answered->isError());
        QTRY_COMPARE(thrown->replies, 1);
        QCOMPARE(thrown->text(), "ReferenceError: boom");
        QVERIFY(thrown->isError());
        QTRY_COMPARE_WITH_TIMEOUT(slow->replies, 1, 3000);
        QCOMPARE(slow->text(), "Timed out waiting for a result");
        {
            std::lock_guard guard(heldLock);
            QCOMPARE(held.size(), size_t(1));
            m_phone->respond(
                held.front(),
                Answer::result({{"result", QJsonObject{{"type", "string"}, {"value", "late"}}}}));
        }
        // The late result is stored, not sent.
        QTRY_COMPARE(m_hub->entries(ConsoleScope::page(m_shop)).last().text, "late");
        QCOMPARE(slow->replies, 1);
        QCOMPARE(text("evaluate", {{"webview", "Shop"}}), "expression is required");
        QCOMPARE(text("evaluate", {{"expression", "1"}, {"webview", "zzz"}}), kNoWebview);
    }

    void screenshotsGoToTheCallThatAsked() {
        std::mutex heldLock;
        std::vector<Command> snapshots;
        m_phone->setAnswerer([&](const Command& command) -> std::optional<Answer> {
            if (command.method == "Page.enable")
                return Answer::result({});
            if (command.method == "Runtime.evaluate")
                return Answer::result(
                    {{"result", QJsonObject{{"type", "string"},
                                            {"value", command.pageID == 1 ? "[2400,1200]" : "[300,200]"}}}});
            if (command.method != "Page.snapshotRect")
                return std::nullopt;
            std::lock_guard guard(heldLock);
            snapshots.push_back(command);
            return Answer::silence();
        });
        auto shop = call("screenshot", {{"webview", "Shop"}});
        auto docs = call("screenshot", {{"webview", "Docs"}});
        QVERIFY(m_phone->waitUntil([&] {
            std::lock_guard guard(heldLock);
            return snapshots.size() == 2;
        }));
        {
            std::lock_guard guard(heldLock); // the later request is answered first
            for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
                const QByteArray image = it->pageID == 1 ? png(2400, 1200, Qt::red) : png(300, 200, Qt::blue);
                m_phone->respond(*it,
                                 Answer::result({{"dataURL", "data:image/png;base64," +
                                                                 QString::fromLatin1(image.toBase64())}}));
            }
        }
        QTRY_COMPARE(shop->replies, 1);
        QTRY_COMPARE(docs->replies, 1);
        auto image = [](const Exchange& exchange) {
            return QImage::fromData(
                QByteArray::fromBase64(exchange.content().value("data").toString().toLatin1()), "PNG");
        };
        QCOMPARE(image(*shop).size(), QSize(1200, 600));
        QCOMPARE(image(*shop).pixelColor(10, 10), QColor(Qt::red));
        QCOMPARE(image(*docs).size(), QSize(300, 200));
        QCOMPARE(text("screenshot", {{"webview", "zzz"}}), kNoWebview);
        QCOMPARE(Tools::shrink("not an image", 1200), QByteArray("not an image"));
    }

    void clearingTouchesTheFirstDeviceOnly() {
        const PageKey elsewhere{kPad, QStringLiteral("PID:1"), 1};
        log(m_shop, "a");
        log(elsewhere, "b");
        QCOMPARE(text("clear_console"), "Cleared");
        QCOMPARE(m_hub->entryCount(m_shop), 0);
        QCOMPARE(m_hub->entryCount(elsewhere), 1);

        ConsoleHub empty(ConsoleHub::Discovery{});
        m_dispatcher->setHub(&empty);
        QCOMPARE(text("clear_console"), "No booted simulators or attached devices.");
        QCOMPARE(text("list_webviews"), "No booted simulators or attached devices.");
        QCOMPARE(text("read_console"), "No devices.");
    }
};

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
