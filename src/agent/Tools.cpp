#include "agent/Tools.h"

#include "base/Logging.h"
#include "console/ConsoleHub.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QJsonObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace Tools {

namespace {

QJsonObject webviewProperty() {
    return QJsonObject{{"type", "string"}, {"description", "Name or URL fragment"}};
}

QJsonObject tool(const char* name, const char* description, const QJsonObject& properties,
                 const QJsonArray& required = {}) {
    QJsonObject schema{{"type", "object"}, {"properties", properties}};
    if (!required.isEmpty())
        schema.insert("required", required);
    return QJsonObject{{"name", QLatin1String(name)},
                       {"description", QString::fromUtf8(description)},
                       {"inputSchema", schema}};
}

} // namespace

const QJsonArray& schema() {
    static const QJsonArray table{
        tool("list_webviews",
             "List every inspectable webview across booted simulators and attached devices, with the name to "
             "pass as "
             "`webview` to the other tools.",
             QJsonObject{}),
        tool("read_console", "Read recent console output. Without `webview` it reads every webview at once.",
             QJsonObject{{"webview", webviewProperty()},
                         {"limit", QJsonObject{{"type", "integer"},
                                               {"description", "Newest N messages (default 100)"}}},
                         {"level", QJsonObject{{"type", "string"},
                                               {"description",
                                                "Only this level: error, warning, info, debug, log"}}}}),
        tool("evaluate", "Run a JavaScript expression in a webview and return its value.",
             QJsonObject{{"webview", webviewProperty()}, {"expression", QJsonObject{{"type", "string"}}}},
             QJsonArray{"expression"}),
        tool("screenshot",
             "Capture the webview as a PNG. Scaled down for reading; pass fullPage to capture past the "
             "viewport.",
             QJsonObject{{"webview", webviewProperty()}, {"fullPage", QJsonObject{{"type", "boolean"}}}}),
        tool("clear_console", "Discard collected messages.", QJsonObject{}),
    };
    return table;
}

std::optional<PageKey> page(const std::optional<QString>& name, const ConsoleHub& hub) {
    QList<InspectorPage> pages = hub.pages().values();
    QList<std::pair<qsizetype, InspectorPage>> counted;
    counted.reserve(pages.size());
    for (InspectorPage& page : pages)
        counted.append({hub.entryCount(page.key), std::move(page)});
    std::stable_sort(counted.begin(), counted.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    if (counted.isEmpty())
        return std::nullopt;
    if (!name || name->isEmpty())
        return counted.first().second.key;
    for (const auto& [count, page] : counted)
        if (page.displayTitle() == *name)
            return page.key;
    for (const auto& [count, page] : counted)
        if (page.displayTitle().contains(*name, Qt::CaseInsensitive) ||
            page.url.contains(*name, Qt::CaseInsensitive) ||
            page.appName.contains(*name, Qt::CaseInsensitive))
            return page.key;
    return std::nullopt;
}

QString listing(const ConsoleHub& hub) {
    QStringList lines;
    const QHash<QString, QString> trouble = hub.trouble();
    for (const InspectableDevice& device : hub.devices()) {
        lines << device.name + QStringLiteral(" (") + device.runtime + QStringLiteral(", ") +
                     (device.kind == InspectableDevice::Kind::device ? QStringLiteral("device")
                                                                     : QStringLiteral("simulator")) +
                     QLatin1Char(')');
        if (const auto text = trouble.constFind(device.udid); text != trouble.cend())
            lines << QStringLiteral("  \u26A0 ") + *text;
        for (const InspectorApp& app : hub.apps(device.udid)) {
            const std::optional<qint64> pid = app.pid();
            lines << QStringLiteral("  ") + app.name +
                         (pid ? QStringLiteral(" (pid ") + QString::number(*pid) + QLatin1Char(')')
                              : QString());
            for (const InspectorPage& page : hub.pages(app.key))
                lines << QStringLiteral("    ") + page.displayTitle() + QStringLiteral(" [") +
                             page.shortenedUrl() + QStringLiteral("] ") +
                             QString::number(hub.entryCount(page.key)) + QStringLiteral(" messages");
        }
    }
    if (lines.isEmpty())
        return QStringLiteral("No booted simulators or attached devices.");
    return lines.join(QLatin1Char('\n'));
}

QString read(const ConsoleHub& hub, const std::optional<PageKey>& page, qint64 limit,
             const std::optional<QString>& level) {
    std::optional<ConsoleScope> scope;
    if (page) {
        scope = ConsoleScope::page(*page);
    } else {
        const QList<InspectableDevice> devices = hub.devices();
        if (devices.isEmpty())
            return QStringLiteral("No devices.");
        scope = ConsoleScope::device(devices.first().udid);
    }
    QList<ConsoleEntry> entries = hub.entries(*scope);
    if (level)
        entries.removeIf([&](const ConsoleEntry& entry) { return rawValue(entry.level) != *level; });
    const qsizetype keep = qsizetype(std::clamp<qint64>(limit, 1, 1000));
    if (entries.size() > keep)
        entries = entries.mid(entries.size() - keep);
    if (entries.isEmpty())
        return QStringLiteral("No messages.");
    QStringList lines;
    lines.reserve(entries.size());
    for (const ConsoleEntry& entry : std::as_const(entries)) {
        QString line = rawValue(entry.level).toUpper();
        if (entry.repeatCount >= 2)
            line += QStringLiteral(" (\u00D7") + QString::number(entry.repeatCount) + QLatin1Char(')');
        line += QStringLiteral(": ") + entry.text;
        if (const std::optional<QString> location = entry.location())
            line += QStringLiteral(" [") + *location + QLatin1Char(']');
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

void evaluate(ConsoleHub& hub, const PageKey& page, const QString& expression, Reply reply,
              std::chrono::milliseconds limit) {
    // Whichever of the result and the time-out comes first answers; the other does nothing.
    auto answer = std::make_shared<Reply>(std::move(reply));
    const QUuid evaluation = hub.evaluate(expression, page, [answer](ConsoleEntry entry) {
        if (Reply once = std::exchange(*answer, nullptr))
            once(entry.text, entry.level == ConsoleLevel::error);
    });
    // The hub lives while the timer does; a late result is then only stored.
    QTimer::singleShot(limit, &hub, [answer, hub = &hub, evaluation] {
        hub->forgetEvaluation(evaluation);
        if (Reply once = std::exchange(*answer, nullptr))
            once(QStringLiteral("Timed out waiting for a result"), true);
    });
}

std::optional<QByteArray> shrink(const QByteArray& bytes, int maxEdge) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // Decoded straight to the size it is sent at: a tall page captured whole can be far beyond what
    // the reader may allocate at full size. Formats that cannot decode scaled come back whole, within
    // the reader's allocation limit, or not at all.
    const QSize size = reader.size();
    if (size.isValid() && std::max(size.width(), size.height()) > maxEdge)
        reader.setScaledSize(size.scaled(maxEdge, maxEdge, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    const QImage image = reader.read();
    if (image.isNull()) {
        qCWarning(lcAgent) << "could not decode a screenshot:" << reader.errorString();
        return std::nullopt;
    }
    const QImage thumbnail =
        std::max(image.width(), image.height()) > maxEdge
            ? image.scaled(maxEdge, maxEdge, Qt::KeepAspectRatio, Qt::SmoothTransformation)
            : image;
    QByteArray png;
    QBuffer out(&png);
    out.open(QIODevice::WriteOnly);
    if (thumbnail.isNull() || !thumbnail.save(&out, "PNG")) {
        qCWarning(lcAgent) << "could not encode a screenshot";
        return std::nullopt;
    }
    return png;
}

} // namespace Tools
