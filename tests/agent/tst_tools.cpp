// The JSON-RPC methods and the agent's tools, against a hub connected to fake simulators.
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

QByteArray png(int width, int height, Qt::GlobalColor color) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

ConsoleEntry logged(const PageKey& page, const QString& text, ConsoleLevel level = ConsoleLevel::log, qint64 repeat = 1) {
    ConsoleEntry entry;
    entry.page = page;
    entry.level = level;
    entry.source = QStringLiteral("console-api");
    entry.text = text;
    entry.url = QStringLiteral("https://shop.example/app.js");
    entry.line = 4;
    entry.repeatCount = repeat;
    entry.receivedAt = QDateTime::currentDateTimeUtc();
    return entry;
}

// Runs one message through the dispatcher and waits for its single reply.
struct Exchange {
    int replies = 0;
    std::optional<QJsonObject> response;
};

std::shared_ptr<Exchange> send(MCPDispatcher& dispatcher, const QJsonObject& message) {
    auto exchange = std::make_shared<Exchange>();
    dispatcher.handle(message, [exchange](std::optional<QJsonObject> response) {
        ++exchange->replies;
        exchange->response = std::move(response);
    });
    return exchange;
}

QJsonObject callTool(const QString& name, const QJsonObject& arguments = {}, int id = 7) {
    return QJsonObject{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"},
                       {"params", QJsonObject{{"name", name}, {"arguments", arguments}}}};
}

QString textOf(const Exchange& exchange) {
    return exchange.response->value("result").toObject().value("content").toArray().first().toObject().value("text").toString();
}

bool isError(const Exchange& exchange) {
    return exchange.response->value("result").toObject().value("isError").toBool();
}

} // namespace

class ToolsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeSimulator> phone;
    std::unique_ptr<ScriptedDiscovery> script;
    std::unique_ptr<ConsoleHub> hub;
    const PageKey shop{kPhone, QStringLiteral("PID:10"), 1};
    const PageKey docs{kPhone, QStringLiteral("PID:10"), 2};

private slots:
    void initTestCase() {
        InspectorTiming timing;
        timing.enableFallback = 50ms;
        timing.poll = 300ms;
        InspectorTiming::set(timing);
    }

    void init() {
        phone = std::make_unique<FakeSimulator>();
        QVERIFY(phone->start());
        phone->addApp({QStringLiteral("PID:10"), QStringLiteral("Safari"), std::nullopt, std::nullopt});
        phone->addApp({QStringLiteral("com.example.mail"), QStringLiteral("Mail"), std::nullopt, std::nullopt});
        phone->addPage(QStringLiteral("PID:10"), FakeInspectorDaemon::page(1, QStringLiteral("Shop"), QStringLiteral("https://shop.example/cart")));
        phone->addPage(QStringLiteral("PID:10"), FakeInspectorDaemon::page(2, QStringLiteral("Docs"), QStringLiteral("https://docs.example/shop-guide")));
        phone->addPage(QStringLiteral("com.example.mail"),
                       FakeInspectorDaemon::page(3, QString(), QStringLiteral("file:///var/Bundle/Mail.app/www/index.html")));
        script = std::make_unique<ScriptedDiscovery>();
        script->simulators = {ScriptedDiscovery::simulator(kPhone, QStringLiteral("iPhone 15"), phone->socketPath())};
        script->devices = {InspectableDevice{kPad, QStringLiteral("Pad"), QStringLiteral("iOS 17.5"),
                                             InspectableDevice::Kind::device, std::nullopt}};
        hub = std::make_unique<ConsoleHub>(script->discovery());
        QVERIFY(ScriptedDiscovery::scan(*hub));
        QTRY_COMPARE(hub->pages(kPhone).size(), 3);
        QVERIFY(phone->waitUntil([&] {
            const auto sessions = phone->openSessions(QStringLiteral("PID:10"), 1);
            return !sessions.empty() && sessions.front().consoleEnabled;
        }));
    }

    void cleanup() {
        hub.reset();
        script.reset();
        phone.reset();
    }

    void protocolMethods() {
        MCPDispatcher dispatcher(hub.get());
        auto init = send(dispatcher, QJsonObject{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "initialize"}, {"params", QJsonObject{}}});
        QCOMPARE(init->replies, 1);
        const QJsonObject result = init->response->value("result").toObject();
        QCOMPARE(result.value("protocolVersion").toString(), QStringLiteral("2025-06-18"));
        QCOMPARE(result.value("capabilities").toObject(), (QJsonObject{{"tools", QJsonObject{}}}));
        QCOMPARE(result.value("serverInfo").toObject(), (QJsonObject{{"name", "tavolin"}, {"version", "0.1"}}));
        QCOMPARE(result.keys().size(), 3);

        auto nullId = send(dispatcher, QJsonObject{{"id", QJsonValue::Null}, {"method", "ping"}});
        QVERIFY(nullId->response->contains("id"));
        QVERIFY(nullId->response->value("id").isNull());
        QCOMPARE(nullId->response->value("result").toObject(), QJsonObject{});

        auto notification = send(dispatcher, QJsonObject{{"method", "notifications/initialized"}});
        QCOMPARE(notification->replies, 1);
        QCOMPARE(notification->response, std::nullopt);

        auto unknown = send(dispatcher, QJsonObject{{"id", "a"}, {"method", "notifications/initialized"}});
        QCOMPARE(unknown->response->value("error").toObject(),
                 (QJsonObject{{"code", -32601}, {"message", "Unknown method notifications/initialized"}}));
        QCOMPARE(unknown->response->value("id").toString(), QStringLiteral("a"));
        auto noMethod = send(dispatcher, QJsonObject{{"id", 3}});
        QCOMPARE(noMethod->response->value("error").toObject().value("message").toString(), QStringLiteral("Unknown method "));

        auto list = send(dispatcher, QJsonObject{{"id", 4}, {"method", "tools/list"}});
        QStringList names;
        for (const QJsonValue& tool : list->response->value("result").toObject().value("tools").toArray())
            names << tool.toObject().value("name").toString();
        QCOMPARE(names, (QStringList{"list_webviews", "read_console", "evaluate", "screenshot", "clear_console"}));

        auto noParams = send(dispatcher, QJsonObject{{"id", 5}, {"method", "tools/call"}});
        QCOMPARE(textOf(*noParams), QStringLiteral("Unknown tool "));
        QVERIFY(isError(*noParams));

        MCPDispatcher unready;
        auto notReady = send(unready, callTool("list_webviews"));
        QCOMPARE(textOf(*notReady), QStringLiteral("Tavolin is not ready"));
    }

    void listingAndReading() {
        MCPDispatcher dispatcher(hub.get());
        for (int i = 0; i < 3; ++i)
            hub->append(logged(docs, QStringLiteral("doc %1").arg(i)));
        hub->append(logged(shop, QStringLiteral("added to cart"), ConsoleLevel::warning, 3));

        auto listing = send(dispatcher, callTool("list_webviews"));
        QCOMPARE(textOf(*listing), QString::fromUtf8("iPhone 15 (iOS 17.5, simulator)\n"
                                                     "  Mail\n"
                                                     "    index.html [www/index.html] 0 messages\n"
                                                     "  Safari (pid 10)\n"
                                                     "    Docs [docs.example/shop-guide] 3 messages\n"
                                                     "    Shop [shop.example/cart] 1 messages\n"
                                                     "Pad (iOS 17.5, device)"));
        QVERIFY(!isError(*listing));

        // Without a name the busiest page; an exact title beats an earlier page whose URL contains it.
        QCOMPARE(textOf(*send(dispatcher, callTool("read_console", {{"limit", 1}}))),
                 QStringLiteral("LOG: doc 2 [app.js:4]"));
        QCOMPARE(textOf(*send(dispatcher, callTool("read_console", {{"webview", "Shop"}}))),
                 QString::fromUtf8("WARNING (×3): added to cart [app.js:4]"));
        QCOMPARE(textOf(*send(dispatcher, callTool("read_console", {{"webview", "GUIDE"}, {"limit", 0}}))),
                 QStringLiteral("LOG: doc 2 [app.js:4]"));
        // A name that matches nothing reads the whole first device.
        QCOMPARE(textOf(*send(dispatcher, callTool("read_console", {{"webview", "nothing like it"}}))).count('\n'), 3);
        QCOMPARE(textOf(*send(dispatcher, callTool("read_console", {{"level", "Error"}}))), QStringLiteral("No messages."));
        QCOMPARE(textOf(*send(dispatcher, callTool("read_console", {{"level", "warning"}, {"webview", "Shop"}}))).left(7),
                 QStringLiteral("WARNING"));
        for (int i = 0; i < 1200; ++i)
            hub->append(logged(docs, QStringLiteral("bulk")));
        QCOMPARE(textOf(*send(dispatcher, callTool("read_console", {{"limit", 5000}}))).count('\n'), 999);
    }

    void evaluation() {
        MCPDispatcher dispatcher(hub.get());
        dispatcher.setEvaluationLimit(800ms);
        std::vector<Command> held;
        std::mutex heldLock;
        phone->setAnswerer([&](const Command& command) -> std::optional<Answer> {
            if (command.method != QLatin1String("Runtime.evaluate"))
                return std::nullopt;
            const QString expression = command.params.value("expression").toString();
            if (expression == QLatin1String("1+1"))
                return Answer::result(QJsonObject{{"result", QJsonObject{{"type", "number"}, {"value", 2}, {"description", "2"}}}});
            if (expression == QLatin1String("boom()"))
                return Answer::result(QJsonObject{{"result", QJsonObject{{"type", "object"}, {"subtype", "error"},
                                                                          {"description", "ReferenceError: boom"}}},
                                                  {"wasThrown", true}});
            std::lock_guard guard(heldLock);
            held.push_back(command);
            return Answer::silence();
        });

        auto answered = send(dispatcher, callTool("evaluate", {{"expression", "1+1"}, {"webview", "Shop"}}));
        QTRY_COMPARE(answered->replies, 1);
        QCOMPARE(textOf(*answered), QStringLiteral("2"));
        QVERIFY(!isError(*answered));

        auto thrown = send(dispatcher, callTool("evaluate", {{"expression", "boom()"}, {"webview", "Shop"}}));
        QTRY_COMPARE(thrown->replies, 1);
        QCOMPARE(textOf(*thrown), QStringLiteral("ReferenceError: boom"));
        QVERIFY(isError(*thrown));

        auto slow = send(dispatcher, callTool("evaluate", {{"expression", "spin()"}, {"webview", "Shop"}}));
        QTRY_COMPARE_WITH_TIMEOUT(slow->replies, 1, 3000);
        QCOMPARE(textOf(*slow), QStringLiteral("Timed out waiting for a result"));
        {
            std::lock_guard guard(heldLock);
            QCOMPARE(held.size(), size_t(1));
            phone->respond(held.front(), Answer::result(QJsonObject{{"result", QJsonObject{{"type", "string"}, {"value", "late"}}}}));
        }
        QTRY_COMPARE(hub->entries(ConsoleScope::page(shop)).last().text, QStringLiteral("late"));
        QCOMPARE(slow->replies, 1); // the late result is stored, not sent

        QCOMPARE(textOf(*send(dispatcher, callTool("evaluate", {{"webview", "Shop"}}))), QStringLiteral("expression is required"));
        QCOMPARE(textOf(*send(dispatcher, callTool("evaluate", {{"expression", "1"}, {"webview", "zzz"}}))),
                 QStringLiteral("No matching webview. Call list_webviews first."));
    }

    void screenshotsGoToTheCallThatAsked() {
        MCPDispatcher dispatcher(hub.get());
        QVERIFY(phone->waitUntil([&] {
            const auto sessions = phone->openSessions(QStringLiteral("PID:10"), 2);
            return !sessions.empty() && sessions.front().consoleEnabled;
        }));
        std::mutex heldLock;
        std::vector<Command> snapshots;
        phone->setAnswerer([&](const Command& command) -> std::optional<Answer> {
            if (command.method == QLatin1String("Page.enable"))
                return Answer::result({});
            if (command.method == QLatin1String("Runtime.evaluate"))
                return Answer::result(QJsonObject{{"result", QJsonObject{{"type", "string"},
                                                                         {"value", command.pageID == 1 ? "[2400,1200]" : "[300,200]"}}}});
            if (command.method == QLatin1String("Page.snapshotRect")) {
                std::lock_guard guard(heldLock);
                snapshots.push_back(command);
                return Answer::silence();
            }
            return std::nullopt;
        });
        auto first = send(dispatcher, callTool("screenshot", {{"webview", "Shop"}}));
        auto second = send(dispatcher, callTool("screenshot", {{"webview", "Docs"}}));
        QVERIFY(phone->waitUntil([&] {
            std::lock_guard guard(heldLock);
            return snapshots.size() == 2;
        }));
        {
            // Answer the later request first.
            std::lock_guard guard(heldLock);
            for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
                const bool big = it->pageID == 1;
                const QByteArray image = big ? png(2400, 1200, Qt::red) : png(300, 200, Qt::blue);
                phone->respond(*it, Answer::result(QJsonObject{
                                        {"dataURL", QStringLiteral("data:image/png;base64,") + QString::fromLatin1(image.toBase64())}}));
            }
        }
        QTRY_COMPARE(first->replies, 1);
        QTRY_COMPARE(second->replies, 1);
        auto image = [](const Exchange& exchange) {
            const QJsonObject content = exchange.response->value("result").toObject().value("content").toArray().first().toObject();
            return QImage::fromData(QByteArray::fromBase64(content.value("data").toString().toLatin1()), "PNG");
        };
        QCOMPARE(image(*first).size(), QSize(1200, 600));
        QCOMPARE(image(*first).pixelColor(10, 10), QColor(Qt::red));
        QCOMPARE(image(*second).size(), QSize(300, 200));

        QCOMPARE(textOf(*send(dispatcher, callTool("screenshot", {{"webview", "zzz"}}))),
                 QStringLiteral("No matching webview. Call list_webviews first."));
    }

    void clearingTouchesTheFirstDeviceOnly() {
        MCPDispatcher dispatcher(hub.get());
        const PageKey elsewhere{kPad, QStringLiteral("PID:1"), 1};
        hub->append(logged(shop, QStringLiteral("a")));
        hub->append(logged(elsewhere, QStringLiteral("b")));
        auto cleared = send(dispatcher, callTool("clear_console"));
        QCOMPARE(textOf(*cleared), QStringLiteral("Cleared"));
        QCOMPARE(hub->entryCount(shop), 0);
        QCOMPARE(hub->entryCount(elsewhere), 1);

        ConsoleHub empty(ConsoleHub::Discovery{});
        MCPDispatcher nothing(&empty);
        QCOMPARE(textOf(*send(nothing, callTool("clear_console"))), QStringLiteral("No booted simulators or attached devices."));
        QCOMPARE(textOf(*send(nothing, callTool("list_webviews"))), QStringLiteral("No booted simulators or attached devices."));
        QCOMPARE(textOf(*send(nothing, callTool("read_console"))), QStringLiteral("No devices."));
    }

    void shrinkKeepsWhatItCannotRead() {
        QCOMPARE(Tools::shrink("not an image", 1200), QByteArray("not an image"));
        const QImage tall = QImage::fromData(Tools::shrink(png(100, 3000, Qt::green), 1200), "PNG");
        QCOMPARE(tall.size(), QSize(40, 1200));
    }
};

QTEST_GUILESS_MAIN(ToolsTest)
#include "tst_tools.moc"
