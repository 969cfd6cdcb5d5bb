#include "inspector/ConsoleFormatting.h"

#include <QVarLengthArray>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace ConsoleFormatting {

namespace {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

constexpr std::string_view ellipsis = "\u2026";

// Field access. Objects are read in one pass into the fields a function needs (the first occurrence of a
// key wins); each typed accessor answers "absent" both for a missing field and for one of another type.

using Field = std::optional<element>;

void keepFirst(Field& slot, element value) {
    if (!slot)
        slot = value;
}

std::optional<std::string_view> asString(const Field& value) {
    std::string_view text;
    if (!value || value->get(text) != simdjson::SUCCESS)
        return std::nullopt;
    return text;
}

std::optional<object> asObject(const Field& value) {
    object result;
    if (!value || value->get(result) != simdjson::SUCCESS)
        return std::nullopt;
    return result;
}

std::optional<bool> asBool(const Field& value) {
    bool result = false;
    if (!value || value->get(result) != simdjson::SUCCESS)
        return std::nullopt;
    return result;
}

// Any JSON number: simdjson keeps integers as 64-bit integers and the rest as doubles.
std::optional<double> asNumber(const Field& value) {
    double result = 0;
    if (!value || value->get(result) != simdjson::SUCCESS)
        return std::nullopt;
    return result;
}

// A number that is a whole value within the 64-bit range, whichever way the JSON spelled it.
std::optional<qint64> asInteger(const Field& value) {
    if (!value)
        return std::nullopt;
    switch (value->type()) {
    case simdjson::dom::element_type::INT64:
        return value->get_int64().value_unsafe();
    case simdjson::dom::element_type::UINT64: {
        const uint64_t number = value->get_uint64().value_unsafe();
        if (number > uint64_t(std::numeric_limits<qint64>::max()))
            return std::nullopt;
        return qint64(number);
    }
    case simdjson::dom::element_type::DOUBLE: {
        const double number = value->get_double().value_unsafe();
        // 2^63 is exactly representable; everything in [-2^63, 2^63) converts without overflow.
        if (std::trunc(number) != number || number < -0x1p63 || number >= 0x1p63)
            return std::nullopt;
        return qint64(number);
    }
    default:
        return std::nullopt;
    }
}

// An array all of whose elements are objects. One element of another kind makes the whole list
// mistyped, hence absent.
std::optional<array> asObjectList(const Field& value) {
    array list;
    if (!value || value->get(list) != simdjson::SUCCESS)
        return std::nullopt;
    for (element item : list) {
        if (!item.is_object())
            return std::nullopt;
    }
    return list;
}

// The kinds of objects the protocol sends, with the fields read from each.

struct MessageFields {
    Field source, level, text, url, line, repeatCount, parameters, stackTrace;
    explicit MessageFields(object message) {
        for (const auto& [key, value] : message) {
            if (key == "source")
                keepFirst(source, value);
            else if (key == "level")
                keepFirst(level, value);
            else if (key == "text")
                keepFirst(text, value);
            else if (key == "url")
                keepFirst(url, value);
            else if (key == "line")
                keepFirst(line, value);
            else if (key == "repeatCount")
                keepFirst(repeatCount, value);
            else if (key == "parameters")
                keepFirst(parameters, value);
            else if (key == "stackTrace")
                keepFirst(stackTrace, value);
        }
    }
};

struct RemoteObjectFields {
    Field type, subtype, value, description, preview, className, size, objectId;
    explicit RemoteObjectFields(object remote) {
        for (const auto& [key, field] : remote) {
            if (key == "type")
                keepFirst(type, field);
            else if (key == "value")
                keepFirst(value, field);
            else if (key == "description")
                keepFirst(description, field);
            else if (key == "subtype")
                keepFirst(subtype, field);
            else if (key == "objectId")
                keepFirst(objectId, field);
            else if (key == "preview")
                keepFirst(preview, field);
            else if (key == "className")
                keepFirst(className, field);
            else if (key == "size")
                keepFirst(size, field);
        }
    }
};

// An object preview, and the value preview of a property.
struct PreviewFields {
    Field properties, overflow, subtype, description, entries;
    explicit PreviewFields(object preview) {
        for (const auto& [key, value] : preview) {
            if (key == "properties")
                keepFirst(properties, value);
            else if (key == "overflow")
                keepFirst(overflow, value);
            else if (key == "subtype")
                keepFirst(subtype, value);
            else if (key == "description")
                keepFirst(description, value);
            else if (key == "entries")
                keepFirst(entries, value);
        }
    }
};

struct PropertyPreviewFields {
    Field name, type, value, valuePreview;
    explicit PropertyPreviewFields(object property) {
        for (const auto& [key, field] : property) {
            if (key == "name")
                keepFirst(name, field);
            else if (key == "type")
                keepFirst(type, field);
            else if (key == "value")
                keepFirst(value, field);
            else if (key == "valuePreview")
                keepFirst(valuePreview, field);
        }
    }
};

struct EntryPreviewFields {
    Field key, value;
    explicit EntryPreviewFields(object entry) {
        for (const auto& [name, field] : entry) {
            if (name == "key")
                keepFirst(key, field);
            else if (name == "value")
                keepFirst(value, field);
        }
    }
};

struct CallFrameFields {
    Field functionName, url, lineNumber, columnNumber;
    explicit CallFrameFields(object frame) {
        for (const auto& [key, value] : frame) {
            if (key == "functionName")
                keepFirst(functionName, value);
            else if (key == "url")
                keepFirst(url, value);
            else if (key == "lineNumber")
                keepFirst(lineNumber, value);
            else if (key == "columnNumber")
                keepFirst(columnNumber, value);
        }
    }
};

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

// Appends items separated by `separator`.
class Joiner {
public:
    Joiner(std::string& out, std::string_view separator) : m_out(out), m_separator(separator) {}
    std::string& next() {
        if (!m_first)
            m_out += m_separator;
        m_first = false;
        return m_out;
    }

private:
    std::string& m_out;
    std::string_view m_separator;
    bool m_first = true;
};

void describeFields(std::string& out, const RemoteObjectFields& remote);
void describePreviewFields(std::string& out, const PreviewFields& preview,
                           std::optional<std::string_view> subtype,
                           std::optional<std::string_view> description);

void previewValueFields(std::string& out, const PropertyPreviewFields& property) {
    if (const auto valuePreview = asObject(property.valuePreview)) {
        const PreviewFields preview(*valuePreview);
        describePreviewFields(out, preview, asString(preview.subtype), asString(preview.description));
        return;
    }
    const std::string_view value = asString(property.value).value_or(ellipsis);
    if (asString(property.type) == std::string_view("string")) {
        out += '"';
        out += value;
        out += '"';
    } else {
        out += value;
    }
}

void describeMapEntries(std::string& out, array entries, bool overflow) {
    Joiner items(out, ", ");
    for (element item : entries) {
        std::string& text = items.next();
        const EntryPreviewFields entry(
            item.get_object().value_unsafe()); // the list was checked to hold objects
        if (const auto key = asObject(entry.key)) {
            describe(text, *key);
            text += " => ";
        }
        if (const auto value = asObject(entry.value))
            describe(text, *value);
        else
            text += ellipsis;
    }
    if (overflow)
        items.next() += ellipsis;
}

void describeObjectPreview(std::string& out, std::optional<array> properties, bool overflow,
                           std::optional<std::string_view> description) {
    const std::string_view className = description.value_or("Object");
    const bool plain = className == "Object";
    const bool empty = (!properties || properties->size() == 0) && !overflow;
    if (empty) {
        out += plain ? std::string_view("{}") : className;
        return;
    }
    if (!plain) {
        out += className;
        out += ' ';
    }
    out += '{';
    Joiner items(out, ", ");
    if (properties) {
        for (element item : *properties) {
            const PropertyPreviewFields property(item.get_object().value_unsafe());
            std::string& text = items.next();
            text += asString(property.name).value_or("?");
            text += ": ";
            previewValueFields(text, property);
        }
    }
    if (overflow)
        items.next() += ellipsis;
    out += '}';
}

// The text of a parameter that %s inserts: a string's own value, otherwise its description.
void appendStringArgument(std::string& out, object parameter) {
    const RemoteObjectFields fields(parameter);
    if (asString(fields.type) == std::string_view("string")) {
        out += asString(fields.value).value_or("");
    } else if (const auto description = asString(fields.description)) {
        out += *description;
    } else {
        describeFields(out, fields); // a value without a description still shows what it is
    }
}

// The shortest digits that read back as `number`, laid out in plain decimal notation without
// inventing digits, or in exponent notation when that is shorter.
void appendShortest(std::string& out, double number) {
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::scientific);
    if (error != std::errc()) {
        out += "NaN";
        return;
    }
    const std::string_view scientific(buffer, size_t(end - buffer));
    const size_t exponentAt = scientific.find('e');
    std::string_view mantissa = scientific.substr(0, exponentAt);
    int exponent = 0;
    std::from_chars(scientific.data() + exponentAt + 1 + (scientific[exponentAt + 1] == '+'),
                    scientific.data() + scientific.size(), exponent);

    const bool negative = mantissa.front() == '-';
    if (negative)
        mantissa.remove_prefix(1);
    std::string digits;
    for (char c : mantissa) {
        if (c != '.')
            digits += c;
    }

    std::string fixed = negative ? "-" : "";
    if (exponent >= 0) {
        const size_t integerDigits = size_t(exponent) + 1;
        if (digits.size() <= integerDigits) {
            fixed += digits;
            fixed.append(integerDigits - digits.size(), '0');
        } else {
            fixed.append(digits, 0, integerDigits);
            fixed += '.';
            fixed.append(digits, integerDigits);
        }
    } else {
        fixed += "0.";
        fixed.append(size_t(-exponent - 1), '0');
        fixed += digits;
    }
    if (fixed.size() <= scientific.size())
        out += fixed;
    else
        out += scientific;
}

void describeFields(std::string& out, const RemoteObjectFields& remote) {
    const std::string_view type = asString(remote.type).value_or("object");
    const auto description = asString(remote.description);

    if (type == "string") {
        if (const auto value = asString(remote.value))
            out += *value;
        else
            out += description.value_or("");
    } else if (type == "boolean") {
        if (const auto value = asBool(remote.value))
            out += *value ? "true" : "false";
        else
            out += description.value_or("?");
    } else if (type == "number") {
        if (const auto value = asNumber(remote.value))
            trimmed(out, *value);
        else
            out += description.value_or("NaN"); // NaN, Infinity and -0 travel as descriptions
    } else if (type == "undefined") {
        out += "undefined";
    } else if (type == "symbol" || type == "bigint") {
        out += description.value_or(type);
    } else if (type == "function") {
        out += "\u0192 ";
        out += functionName(description);
        out += "()";
    } else {
        const auto subtype = asString(remote.subtype);
        if (subtype == std::string_view("null")) {
            out += "null";
        } else if (const auto preview = asObject(remote.preview)) {
            describePreviewFields(out, PreviewFields(*preview), subtype, description);
        } else {
            out += description ? *description : asString(remote.className).value_or("Object");
            if (const auto size = asNumber(remote.size)) {
                out += '(';
                trimmed(out, *size);
                out += ')';
            }
        }
    }
}

void describePreviewFields(std::string& out, const PreviewFields& preview,
                           std::optional<std::string_view> subtype,
                           std::optional<std::string_view> description) {
    const auto properties = asObjectList(preview.properties);
    const bool overflow = asBool(preview.overflow).value_or(false);
    if (!subtype)
        subtype = asString(preview.subtype);

    if (subtype == std::string_view("array")) {
        out += '[';
        Joiner items(out, ", ");
        if (properties) {
            for (element item : *properties)
                previewValue(items.next(), item.get_object().value_unsafe());
        }
        if (overflow)
            items.next() += ellipsis;
        out += ']';
        return;
    }

    if (subtype == std::string_view("map") || subtype == std::string_view("set")) {
        if (const auto entries = asObjectList(preview.entries)) {
            out += description.value_or(*subtype);
            out += " {";
            describeMapEntries(out, *entries, overflow);
            out += '}';
            return;
        }
    }

    if (subtype == std::string_view("error")) {
        if (description) {
            out += *description;
        } else if (properties) {
            Joiner items(out, " ");
            for (element item : *properties)
                previewValue(items.next(), item.get_object().value_unsafe());
        }
        return;
    }

    describeObjectPreview(out, properties, overflow, description);
}

} // namespace

ConsoleEntry entry(object message, const PageKey& page) {
    const MessageFields fields(message);
    const auto source = asString(fields.source);

    QVarLengthArray<object, 8> parameters;
    if (const auto list = asObjectList(fields.parameters)) {
        for (element item : *list)
            parameters.append(item.get_object().value_unsafe());
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
        std::string label;
        if (span != described.cend() && span->index == i)
            label.assign(rendered, span->begin, span->end - span->begin);
        else
            describeFields(label, remote);
        objects.append(RemoteObjectRef{toQString(*objectID), toQString(label)});
    }

    return ConsoleEntry{
        .page = page,
        .level = consoleLevelFromMessage(asString(fields.level), source),
        .source = sourceText(source),
        .text = std::move(text),
        .url = toQString(asString(fields.url).value_or("")),
        .line = asInteger(fields.line).value_or(0),
        .receivedAt = QDateTime::currentDateTimeUtc(),
        // A count below one would claim the message was never logged; it was, once at least.
        .repeatCount = std::max<qint64>(1, asInteger(fields.repeatCount).value_or(1)),
        .stack = fields.stackTrace ? stack(*fields.stackTrace) : QList<StackFrame>(),
        .kind = EntryKind::message,
        .objects = std::move(objects),
    };
}

QString describe(object remote) {
    std::string text;
    describe(text, remote);
    return toQString(text);
}

std::optional<RemoteObjectRef> reference(object remote) {
    const RemoteObjectFields fields(remote);
    const auto objectID = asString(fields.objectId);
    if (!objectID || asString(fields.subtype) == std::string_view("null"))
        return std::nullopt;
    std::string label;
    describeFields(label, fields);
    return RemoteObjectRef{toQString(*objectID), toQString(label)};
}

QList<RemoteObjectRef> references(array objects) {
    QList<RemoteObjectRef> refs;
    for (element item : objects) {
        object value;
        if (item.get(value) != simdjson::SUCCESS)
            continue;
        if (auto ref = reference(value))
            refs.append(std::move(*ref));
    }
    return refs;
}

void render(std::string& out, Parameters parameters, std::vector<DescribedSpan>* described) {
    Joiner parts(out, " ");
    const std::size_t total = parameters.size();
    if (!parameters.empty()) {
        const RemoteObjectFields first(parameters.front());
        const auto format = asString(first.value);
        if (asString(first.type) == std::string_view("string") && format &&
            format->find('%') != std::string_view::npos) {
            parameters = parameters.subspan(1);
            substitute(parts.next(), *format, parameters);
        }
    }
    const std::size_t consumed = total - parameters.size();
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        std::string& text = parts.next();
        const std::size_t begin = text.size();
        describe(text, parameters[i]);
        if (described)
            described->push_back({consumed + i, begin, text.size()});
    }
}

void substitute(std::string& out, std::string_view format, Parameters& parameters) {
    const auto take = [&]() -> std::optional<object> {
        if (parameters.empty())
            return std::nullopt;
        const object front = parameters.front();
        parameters = parameters.subspan(1);
        return front;
    };

    size_t at = 0;
    while (at < format.size()) {
        const size_t percent = format.find('%', at);
        if (percent == std::string_view::npos) {
            out += format.substr(at);
            break;
        }
        out += format.substr(at, percent - at);
        if (percent + 1 == format.size()) {
            out += '%';
            break;
        }
        const char specifier = format[percent + 1];
        at = percent + 2;
        switch (specifier) {
        case '%':
            out += '%';
            break;
        case 'c':
            take(); // the style has no place in plain text
            break;
        case 's':
            if (const auto argument = take())
                appendStringArgument(out, *argument);
            else
                out += "%s";
            break;
        case 'd':
        case 'i':
        case 'f':
        case 'o':
        case 'O':
        case 'j':
            if (const auto argument = take()) {
                describe(out, *argument);
            } else {
                out += '%';
                out += specifier;
            }
            break;
        default:
            // Not a specifier: keep the "%" and let the next character be copied as it is (it may be
            // the first byte of a longer UTF-8 sequence).
            out += '%';
            at = percent + 1;
            break;
        }
    }
}

void describe(std::string& out, object remote) {
    describeFields(out, RemoteObjectFields(remote));
}

void describePreview(std::string& out, object preview, std::optional<std::string_view> subtype,
                     std::optional<std::string_view> description) {
    describePreviewFields(out, PreviewFields(preview), subtype, description);
}

void previewValue(std::string& out, object property) {
    previewValueFields(out, PropertyPreviewFields(property));
}

QList<StackFrame> stack(element value) {
    std::optional<array> frames;
    object trace;
    if (value.get(trace) == simdjson::SUCCESS) {
        element callFrames;
        if (trace.at_key("callFrames").get(callFrames) == simdjson::SUCCESS)
            frames = asObjectList(callFrames);
    } else {
        frames = asObjectList(value);
    }

    QList<StackFrame> result;
    if (!frames)
        return result;
    result.reserve(qsizetype(frames->size()));
    for (element item : *frames) {
        const CallFrameFields frame(item.get_object().value_unsafe());
        const std::string_view function = asString(frame.functionName).value_or("");
        result.append(StackFrame{
            .function = function.empty() ? QStringLiteral("(anonymous)") : toQString(function),
            .url = toQString(asString(frame.url).value_or("")),
            .line = asInteger(frame.lineNumber).value_or(0),
            .column = asInteger(frame.columnNumber).value_or(0),
        });
    }
    return result;
}

void trimmed(std::string& out, double number) {
    if (std::isnan(number)) {
        out += "NaN";
    } else if (std::isinf(number)) {
        out += number < 0 ? "-Infinity" : "Infinity";
    } else if (std::trunc(number) == number && std::fabs(number) < 1e15) {
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(number));
        out.append(buffer, result.ptr);
    } else {
        appendShortest(out, number);
    }
}

std::string trimmed(double number) {
    std::string text;
    trimmed(text, number);
    return text;
}

std::string_view functionName(std::optional<std::string_view> description) {
    if (!description)
        return {};
    constexpr std::string_view keyword = "function ";
    if (const size_t at = description->find(keyword); at != std::string_view::npos) {
        const std::string_view rest = description->substr(at + keyword.size());
        return rest.substr(0, rest.find('('));
    }
    return description->substr(0, description->find_first_of("( "));
}

} // namespace ConsoleFormatting
