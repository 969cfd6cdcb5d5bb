#include "inspector/ConsoleFormatting.h"

#include "inspector/ProtocolFields.h"

#include "base/Logging.h"

#include <QVarLengthArray>

#include <algorithm>

namespace ConsoleFormatting {

using namespace ProtocolFields;
using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

namespace {

QString toQString(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

// The sources pages send all the time share one string instead of allocating one per entry.
QString sourceText(std::optional<std::string_view> source) {
    if (!source)
        return QStringLiteral("other");
    if (*source == "console-api")
        return QStringLiteral("console-api");
    if (*source == "javascript")
        return QStringLiteral("javascript");
    if (*source == "network")
        return QStringLiteral("network");
    if (*source == "other")
        return QStringLiteral("other");
    return toQString(*source);
}

// Messages and their stack frames mostly name the same script, message after message: a text
// equal to the last one converted on this thread shares its QString instead of allocating again.
class RepeatedText {
public:
    QString operator()(std::string_view utf8) {
        if (!m_used || utf8 != m_utf8) {
            m_used = true;
            m_utf8.assign(utf8);
            m_text = toQString(utf8);
        }
        return m_text;
    }

private:
    bool m_used = false;
    std::string m_utf8;
    QString m_text;
};

thread_local RepeatedText urls;

// One frame as read, before any text is converted.
struct FrameRead {
    std::string_view function, url;
    qint64 line, column;
};

// A page logs from the same few places over and over: the frames last made on this thread are
// handed out again, shared, while every frame of the next stack reads the same.
struct LastStack {
    struct Frame {
        std::string function, url;
        qint64 line, column;
        bool operator==(const FrameRead& read) const {
            return line == read.line && column == read.column && function == read.function && url == read.url;
        }
    };
    std::vector<Frame> read;
    QList<StackFrame> frames;
};

QList<StackFrame> frames(element value) {
    std::optional<array> list;
    object trace;
    if (value.get(trace) == simdjson::SUCCESS) {
        element callFrames;
        if (trace.at_key("callFrames").get(callFrames) == simdjson::SUCCESS)
            list = asObjectList(callFrames);
    } else {
        list = asObjectList(value);
    }
    if (!list)
        return {};

    QVarLengthArray<FrameRead, 8> read;
    for (element item : *list) {
        const CallFrameFields frame(item.get_object().value_unsafe());
        read.append(FrameRead{
            .function = asString(frame.functionName).value_or(""),
            .url = asString(frame.url).value_or(""),
            .line = asInteger(frame.lineNumber).value_or(0),
            .column = asInteger(frame.columnNumber).value_or(0),
        });
    }
    thread_local LastStack last;
    if (!read.isEmpty() && std::equal(last.read.cbegin(), last.read.cend(), read.cbegin(), read.cend()))
        return last.frames;

    QList<StackFrame> result;
    result.reserve(read.size());
    last.read.clear();
    for (const FrameRead& frame : read) {
        result.append(StackFrame{
            .function = frame.function.empty() ? QStringLiteral("(anonymous)") : toQString(frame.function),
            .url = urls(frame.url),
            .line = frame.line,
            .column = frame.column,
        });
        last.read.push_back({std::string(frame.function), std::string(frame.url), frame.line, frame.column});
    }
    last.frames = result;
    return result;
}

} // namespace

ConsoleEntry entry(object message, const PageKey& page, MissingPreviews* missing) {
    const MessageFields fields(message);
    const auto source = asString(fields.source);

    QVarLengthArray<object, 8> parameters;
    if (const auto list = asObjectList(fields.parameters)) {
        for (element item : *list)
            parameters.append(item.get_object().value_unsafe());
    } else if (fields.parameters) {
        qCWarning(lcInspector) << "console message with unreadable parameters; showing its text instead";
    }
    const Parameters arguments(parameters.data(), size_t(parameters.size()));

    QString text;
    // The text already describes every argument no format specifier consumed: those
    // descriptions serve again as the labels of their objects.
    std::string rendered;
    std::vector<DescribedSpan> described;
    if (!arguments.empty()) {
        rendered.reserve(128);
        render(rendered, arguments, &described);
        text = toQString(rendered);
    } else if (const auto plain = asString(fields.text)) {
        text = toQString(*plain);
    }

    QList<RemoteObjectRef> objects;
    auto span = described.cbegin();
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        while (span != described.cend() && span->index < i)
            ++span;
        const RemoteObjectFields remote(arguments[i]);
        const auto objectID = asString(remote.objectId);
        if (!objectID || asString(remote.subtype) == std::string_view("null"))
            continue;
        QString id = toQString(*objectID);
        // Functions and primitives read the same without a preview.
        if (missing && !remote.preview && asString(remote.type).value_or("object") == "object")
            missing->emplace_back(qsizetype(i), id);
        std::string label;
        if (span != described.cend() && span->index == i)
            label.assign(rendered, span->begin, span->end - span->begin);
        else
            describe(label, remote);
        objects.append(RemoteObjectRef{std::move(id), toQString(label)});
    }

    QString url = urls(asString(fields.url).value_or(""));
    return ConsoleEntry{
        .page = page,
        .level = consoleLevelFromMessage(asString(fields.level), source),
        .source = sourceText(source),
        .text = std::move(text),
        .url = std::move(url),
        .line = asInteger(fields.line).value_or(0),
        .receivedAt = QDateTime::currentDateTimeUtc(),
        // A count below one would claim the message was never logged; it was, once at least.
        .repeatCount = std::max<qint64>(1, asInteger(fields.repeatCount).value_or(1)),
        .stack = fields.stackTrace ? frames(*fields.stackTrace) : QList<StackFrame>(),
        .kind = EntryKind::message,
        .objects = std::move(objects),
        .timestamp = asNumber(fields.timestamp),
    };
}

QList<StackFrame> stack(element value) {
    return frames(value);
}

} // namespace ConsoleFormatting
