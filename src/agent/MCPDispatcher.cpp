#include "agent/MCPDispatcher.h"

#include "base/Logging.h"
#include "console/ConsoleHub.h"
#include "inspector/WebInspectorConnection.h"

#include <QJsonArray>
#include <QTimer>

#include <cmath>
#include <memory>
#include <utility>

namespace {

const QString kNoWebview = QStringLiteral("No matching webview. Call list_webviews first.");
const QString kNoCapture = QStringLiteral("Could not capture this webview");
const QString kNoDecode = QStringLiteral("Could not decode this webview's screenshot");
const QString kScreenshotTimeout = QStringLiteral("Timed out waiting for the screenshot");

std::optional<QString> text(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

// JSON numbers are doubles; an integer argument is one without a fractional part.
std::optional<qint64> integer(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != std::floor(number) || std::abs(number) > 9.0e15)
        return std::nullopt;
    return qint64(number);
}

// How long wait_for_console waits: seconds as a number, within 0 to the longest wait.
std::chrono::milliseconds waitTime(const QJsonObject& arguments) {
    const QJsonValue value = arguments.value(QLatin1String("timeout"));
    const double seconds = value.isDouble() && std::isfinite(value.toDouble())
                               ? value.toDouble()
                               : double(Tools::kDefaultWait.count());
    const double most = double(Tools::kLongestWait.count());
    return std::chrono::milliseconds(qint64(std::round(std::clamp(seconds, 0.0, most) * 1000.0)));
}

} // namespace

MCPDispatcher::~MCPDispatcher() = default;

QJsonObject MCPDispatcher::textResult(const QString& text, bool isError) {
    return QJsonObject{{"content", QJsonArray{QJsonObject{{"type", "text"}, {"text", text}}}},
                       {"isError", isError}};
}

QJsonObject MCPDispatcher::imageResult(const QByteArray& png) {
    return QJsonObject{{"content", QJsonArray{QJsonObject{{"type", "image"},
                                                          {"data", QString::fromLatin1(png.toBase64())},
                                                          {"mimeType", "image/png"}}}},
                       {"isError", false}};
}

void MCPDispatcher::handle(const QJsonObject& message, Reply reply) {
    const QString method = message.value(QLatin1String("method")).toString();
    if (!message.contains(QLatin1String("id"))) {
        reply(std::nullopt);
        return;
    }
    const QJsonValue id = message.value(QLatin1String("id"));
    auto success = [id](const QJsonObject& result) {
        return QJsonObject{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
    };

    if (method == QLatin1String("initialize")) {
        reply(success(QJsonObject{{"protocolVersion", QLatin1String(kProtocolVersion)},
                                  {"capabilities", QJsonObject{{"tools", QJsonObject{}}}},
                                  {"serverInfo", QJsonObject{{"name", "tavolin"}, {"version", "0.1"}}}}));
    } else if (method == QLatin1String("ping")) {
        reply(success(QJsonObject{}));
    } else if (method == QLatin1String("tools/list")) {
        reply(success(QJsonObject{{"tools", Tools::schema()}}));
    } else if (method == QLatin1String("tools/call")) {
        const QJsonObject params = message.value(QLatin1String("params")).toObject();
        call(params.value(QLatin1String("name")).toString(),
             params.value(QLatin1String("arguments")).toObject(),
             [reply, success](QJsonObject result) { reply(success(result)); });
    } else {
        reply(QJsonObject{{"jsonrpc", "2.0"},
                          {"id", id},
                          {"error", QJsonObject{{"code", kUnknownMethod},
                                                {"message", QStringLiteral("Unknown method ") + method}}}});
    }
}

void MCPDispatcher::call(const QString& name, const QJsonObject& arguments,
                         std::function<void(QJsonObject result)> reply) {
    auto replyText = [reply, name](const QString& text, bool isError) {
        if (isError)
            qCWarning(lcAgent) << "tool" << name << "failed:" << text;
        reply(textResult(Tools::bounded(text), isError));
    };
    ConsoleHub* hub = m_hub.data();
    if (!hub) {
        replyText(QStringLiteral("Tavolin is not ready"), true);
        return;
    }

    if (name == QLatin1String("list_webviews")) {
        replyText(Tools::listing(*hub), false);
    } else if (name == QLatin1String("read_console")) {
        const ConsoleFilter filter(text(arguments, "level"), text(arguments, "search"));
        if (filter.error())
            return replyText(*filter.error(), true);
        const std::optional<PageKey> page = Tools::page(text(arguments, "webview"), *hub);
        replyText(Tools::read(*hub, page, integer(arguments, "limit").value_or(100), filter,
                              integer(arguments, "since")),
                  false);
    } else if (name == QLatin1String("wait_for_console")) {
        ConsoleFilter filter(text(arguments, "level"), text(arguments, "search"));
        if (filter.error())
            return replyText(*filter.error(), true);
        const std::optional<QString> webview = text(arguments, "webview");
        std::optional<PageKey> page;
        if (webview && !webview->isEmpty() && !(page = Tools::page(webview, *hub)))
            return replyText(kNoWebview, true);
        m_waits->wait(*hub, page, std::move(filter), waitTime(arguments), Tools::line, replyText);
    } else if (name == QLatin1String("screenshot")) {
        const std::optional<PageKey> page = Tools::page(text(arguments, "webview"), *hub);
        if (!page) {
            replyText(kNoWebview, true);
            return;
        }
        const QJsonValue fullPage = arguments.value(QLatin1String("fullPage"));
        WebInspectorConnection* connection = hub->connection(page->deviceID);
        if (!connection) {
            replyText(kNoCapture, true);
            return;
        }
        // The completion belongs to this call alone: its image can only reach this reply. Whichever of
        // it and the time limit comes first answers; the other does nothing.
        auto open = std::make_shared<bool>(true);
        QTimer::singleShot(m_screenshotLimit, [open, replyText] {
            if (std::exchange(*open, false))
                replyText(kScreenshotTimeout, true);
        });
        connection->snapshot(*page, fullPage.isBool() && fullPage.toBool(),
                             [open, reply, replyText](std::optional<QByteArray> bytes) {
                                 if (!std::exchange(*open, false))
                                     return;
                                 if (!bytes || bytes->isEmpty())
                                     return replyText(kNoCapture, true);
                                 if (const auto png = Tools::shrink(*bytes, Tools::kScreenshotMaxEdge))
                                     return reply(imageResult(*png));
                                 replyText(kNoDecode, true);
                             });
    } else if (name == QLatin1String("clear_console")) {
        const QList<InspectableDevice> devices = hub->devices();
        if (devices.isEmpty()) {
            replyText(QStringLiteral("No booted simulators or attached devices."), true);
            return;
        }
        hub->clear(devices.first().udid);
        replyText(QStringLiteral("Cleared"), false);
    } else if (name == QLatin1String("evaluate")) {
        const std::optional<QString> expression = text(arguments, "expression");
        if (!expression) {
            replyText(QStringLiteral("expression is required"), true);
            return;
        }
        const std::optional<PageKey> page = Tools::page(text(arguments, "webview"), *hub);
        if (!page) {
            replyText(kNoWebview, true);
            return;
        }
        const QJsonValue awaitPromise = arguments.value(QLatin1String("await"));
        Tools::evaluate(*hub, *page, *expression, replyText, m_evaluationLimit,
                        awaitPromise.isBool() && awaitPromise.toBool());
    } else {
        replyText(QStringLiteral("Unknown tool ") + name, true);
    }
}
