#include "inspector/ProtocolFields.h"

#include <cmath>
#include <limits>

namespace ProtocolFields {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

namespace {

void keepFirst(Field& slot, element value) {
    if (!slot)
        slot = value;
}

} // namespace

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

std::optional<double> asNumber(const Field& value) {
    double result = 0;
    if (!value || value->get(result) != simdjson::SUCCESS)
        return std::nullopt;
    return result;
}

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

MessageFields::MessageFields(object message) {
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
        else if (key == "timestamp")
            keepFirst(timestamp, value);
        else if (key == "repeatCount")
            keepFirst(repeatCount, value);
        else if (key == "parameters")
            keepFirst(parameters, value);
        else if (key == "stackTrace")
            keepFirst(stackTrace, value);
    }
}

RemoteObjectFields::RemoteObjectFields(object remote) {
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

PreviewFields::PreviewFields(object preview) {
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

PropertyPreviewFields::PropertyPreviewFields(object property) {
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

EntryPreviewFields::EntryPreviewFields(object entry) {
    for (const auto& [name, field] : entry) {
        if (name == "key")
            keepFirst(key, field);
        else if (name == "value")
            keepFirst(value, field);
    }
}

CallFrameFields::CallFrameFields(object frame) {
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

} // namespace ProtocolFields
