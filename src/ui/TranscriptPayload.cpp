#include "ui/TranscriptPayload.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QUrl>

namespace {

constexpr auto kTimeFormat = "HH:mm:ss";

QString compact(const QJsonArray& array) {
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QString kindText(EntryKind kind) {
    switch (kind) {
    case EntryKind::input:
        return QStringLiteral("input");
    case EntryKind::result:
        return QStringLiteral("result");
    case EntryKind::message:
        break;
    }
    return QStringLiteral("message");
}

} // namespace

QString TranscriptPayload::string(const QString& text) {
    const QString array = compact(QJsonArray{text});
    return array.mid(1, array.size() - 2);
}

QString TranscriptPayload::fileName(const QString& url) {
    const QUrl parsed(url, QUrl::StrictMode);
    const QString name = parsed.isValid() ? parsed.fileName() : QString();
    return name.isEmpty() ? url : name;
}

QString TranscriptPayload::entries(const QList<ConsoleEntry>& entries,
                                   const QHash<PageKey, InspectorPage>* pages) {
    const QLocale c = QLocale::c();
    QJsonArray rows;
    for (const ConsoleEntry& entry : entries) {
        QJsonArray frames, objects;
        for (const StackFrame& frame : entry.stack)
            frames.append(QJsonObject{{"f", frame.function}, {"u", fileName(frame.url)}, {"l", frame.line}});
        for (const RemoteObjectRef& object : entry.objects)
            objects.append(QJsonObject{{"id", object.objectID}, {"label", object.label}});
        QString page;
        if (pages)
            if (const auto it = pages->constFind(entry.page); it != pages->cend())
                page = it->shortLabel();
        rows.append(QJsonObject{
            {"id", Uuid::text(entry.id)},
            {"time", c.toString(entry.receivedAt.toLocalTime(), QString::fromLatin1(kTimeFormat))},
            {"level", rawValue(entry.level)},
            {"kind", kindText(entry.kind)},
            {"text", entry.text},
            {"location", entry.location().value_or(QString())},
            {"repeat", entry.repeatCount},
            {"page", page},
            {"frames", frames},
            {"objects", objects},
        });
    }
    return compact(rows);
}

QString TranscriptPayload::properties(const QList<PropertyNode>& nodes) {
    QJsonArray rows;
    for (const PropertyNode& node : nodes)
        rows.append(QJsonObject{{"name", node.name},
                                {"value", node.value},
                                {"object", node.objectID ? QJsonValue(*node.objectID) : QJsonValue()}});
    return compact(rows);
}

QString TranscriptPayload::names(const QStringList& names) {
    return compact(QJsonArray::fromStringList(names));
}
