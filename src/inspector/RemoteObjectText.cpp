#include "inspector/RemoteObjectText.h"

#include "inspector/TextJoiner.h"

#include <charconv>
#include <cmath>

namespace ConsoleFormatting {

using namespace ProtocolFields;
using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

namespace {

constexpr std::string_view kEllipsis = "\u2026";

QString toQString(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

void describePreviewFields(std::string& out, const PreviewFields& preview,
                           std::optional<std::string_view> subtype,
                           std::optional<std::string_view> description);

void previewValueFields(std::string& out, const PropertyPreviewFields& property) {
    if (const auto valuePreview = asObject(property.valuePreview)) {
        const PreviewFields preview(*valuePreview);
        describePreviewFields(out, preview, asString(preview.subtype), asString(preview.description));
        return;
    }
    const std::string_view value = asString(property.value).value_or(kEllipsis);
    if (asString(property.type) == std::string_view("string")) {
        out += '"';
        out += value;
        out += '"';
    } else {
        out += value;
    }
}

void describeMapEntries(std::string& out, array entries, bool overflow) {
    TextJoiner items(out, ", ");
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
            text += kEllipsis;
    }
    if (overflow)
        items.next() += kEllipsis;
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
    TextJoiner items(out, ", ");
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
        items.next() += kEllipsis;
    out += '}';
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

void describePreviewFields(std::string& out, const PreviewFields& preview,
                           std::optional<std::string_view> subtype,
                           std::optional<std::string_view> description) {
    const auto properties = asObjectList(preview.properties);
    const bool overflow = asBool(preview.overflow).value_or(false);
    if (!subtype)
        subtype = asString(preview.subtype);

    if (subtype == std::string_view("array")) {
        out += '[';
        TextJoiner items(out, ", ");
        if (properties) {
            for (element item : *properties)
                previewValueFields(items.next(), PropertyPreviewFields(item.get_object().value_unsafe()));
        }
        if (overflow)
            items.next() += kEllipsis;
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
            TextJoiner items(out, " ");
            for (element item : *properties)
                previewValueFields(items.next(), PropertyPreviewFields(item.get_object().value_unsafe()));
        }
        return;
    }

    describeObjectPreview(out, properties, overflow, description);
}

} // namespace

void describe(std::string& out, const RemoteObjectFields& remote) {
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
    describe(label, fields);
    return RemoteObjectRef{toQString(*objectID), toQString(label)};
}

void describe(std::string& out, object remote) {
    describe(out, RemoteObjectFields(remote));
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
