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

QJsonObject property(const char* type, const char* description) {
    return QJsonObject{{"type", QLatin1String(type)}, {"description", QString::fromUtf8(description)}};
}

QJsonObject searchProperty() {
    return property("string",
                    "Only messages whose text contains this, ignoring case; /like this/ is a regular "
                    "expression.");
}

QJsonObject levelProperty() {
    return property("string", "Only this level: error, warning, info, debug, log");
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
                         {"level", levelProperty()},
                         {"search", searchProperty()},
                         {"since", property("integer", "Only messages stored after this sequence number; the "
                                                       "answer then ends with `next since: N` to pass next "
                                                       "time.")}}),
        tool("evaluate", "Run a JavaScript expression in a webview and return its value.",
             QJsonObject{
                 {"webview", webviewProperty()},
                 {"expression", QJsonObject{{"type", "string"}}},
                 {"await", property("boolean", "When the value is a promise, wait for it and return what "
                                               "it settles to.")}},
             QJsonArray{"expression"}),
        tool("screenshot",
             "Capture the webview as a PNG. Scaled down for reading; pass fullPage to capture past the "
             "viewport.",
             QJsonObject{{"webview", webviewProperty()}, {"fullPage", QJsonObject{{"type", "boolean"}}}}),
        tool("clear_console", "Discard collected messages.", QJsonObject{}),
        tool("wait_for_console",
             "Wait for the first console message logged after this call that matches, for example after "
             "triggering an action. Without `webview` it waits on every webview.",
             QJsonObject{{"webview", webviewProperty()},
                         {"search", searchProperty()},
                         {"level", levelProperty()},
                         {"timeout", property("number", "Seconds to wait (default 10, at most 60).")}}),
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
             const ConsoleFilter& filter, std::optional<qint64> since) {
    std::optional<ConsoleScope> scope;
    if (page) {
        scope = ConsoleScope::page(*page);
    } else {
        const QList<InspectableDevice> devices = hub.devices();
        if (devices.isEmpty())
            return QStringLiteral("No devices.");
        scope = ConsoleScope::device(devices.first().udid);
    }
    QList<ConsoleEntry> entries;
    QString cursor;
    if (since) {
        // A cursor past anything stored comes from an earlier run of the program: read from the start.
        const qint64 after = *since > hub.lastSequence() ? 0 : std::max<qint64>(*since, 0);
        entries = hub.entriesAfter(*scope, after);
        cursor = QStringLiteral("next since: ") +
                 QString::number(entries.isEmpty() ? after : entries.last().sequence);
    } else {
        entries = hub.entries(*scope);
    }
    entries.removeIf([&](const ConsoleEntry& entry) { return !filter.matches(entry); });
    const qsizetype keep = qsizetype(std::clamp<qint64>(limit, 1, 1000));
    if (entries.size() > keep)
        entries = entries.mid(entries.size() - keep);
    QStringList lines;
    lines.reserve(entries.size());
    for (const ConsoleEntry& entry : std::as_const(entries))
        lines << line(entry);
    if (lines.isEmpty())
        lines << QStringLiteral("No messages.");
    return fit(std::move(lines), true, cursor);
}

QString line(const ConsoleEntry& entry) {
    QString line = rawValue(entry.level).toUpper();
    if (entry.repeatCount >= 2)
        line += QStringLiteral(" (\u00D7") + QString::number(entry.repeatCount) + QLatin1Char(')');
    line += QStringLiteral(": ") + entry.text;
    if (const std::optional<QString> location = entry.location())
        line += QStringLiteral(" [") + *location + QLatin1Char(']');
    return line;
}

QString fit(QStringList items, bool messages, const QString& tail) {
    if (!tail.isEmpty())
        items << tail;
    qsizetype size = -1; // no newline before the first item
    for (const QString& item : std::as_const(items))
        size += item.size() + 1;
    if (size <= kAnswerLimit)
        return items.join(QLatin1Char('\n'));
    if (!tail.isEmpty())
        items.removeLast();
    const auto note = [messages](qsizetype count) {
        return messages ? QStringLiteral("[%1 older messages left out; narrow the read with limit, level, "
                                         "search or since]")
                              .arg(count)
                        : QStringLiteral("[%1 earlier lines left out]").arg(count);
    };
    qsizetype dropped = 0;
    while (dropped + 1 < items.size() && size + note(dropped).size() + 1 > kAnswerLimit)
        size -= items[dropped++].size() + 1;
    items.remove(0, dropped);
    if (const qsizetype over = size + (dropped ? note(dropped).size() + 1 : 0) - kAnswerLimit; over > 0) {
        // One item, itself too long: its start is kept.
        QString& item = items.first();
        qsizetype keep = std::max<qsizetype>(item.size() - over - 2, 0);
        if (keep > 0 && item.at(keep - 1).isHighSurrogate())
            --keep;
        item = item.left(keep) + QStringLiteral(" \u2026");
    }
    if (dropped)
        items.prepend(note(dropped));
    if (!tail.isEmpty())
        items << tail;
    return items.join(QLatin1Char('\n'));
}

QString bounded(const QString& text) {
    return text.size() <= kAnswerLimit ? text : fit(text.split(QLatin1Char('\n')), false);
}

void evaluate(ConsoleHub& hub, const PageKey& page, const QString& expression, Reply reply,
              std::chrono::milliseconds limit, bool awaitPromise) {
    // Whichever of the result and the time-out comes first answers; the other does nothing.
    auto answer = std::make_shared<Reply>(std::move(reply));
    const QUuid evaluation = hub.evaluate(
        expression, page,
        [answer](ConsoleEntry entry) {
            if (Reply once = std::exchange(*answer, nullptr))
                once(entry.text, entry.level == ConsoleLevel::error);
        },
        awaitPromise);
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
