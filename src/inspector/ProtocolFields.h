#pragma once

#include <QtGlobal>

#include <optional>
#include <string_view>

#include <simdjson.h>

// Typed reads of the inspector's JSON objects. Each object kind is read in one pass into the fields
// a caller needs (the first occurrence of a key wins); each accessor answers "absent" both for a
// missing field and for one of another type, so mistyped input degrades field by field.
namespace ProtocolFields {

using Field = std::optional<simdjson::dom::element>;

std::optional<std::string_view> asString(const Field& value);
std::optional<simdjson::dom::object> asObject(const Field& value);
std::optional<bool> asBool(const Field& value);
// Any JSON number: simdjson keeps integers as 64-bit integers and the rest as doubles.
std::optional<double> asNumber(const Field& value);
// A number that is a whole value within the 64-bit range, whichever way the JSON spelled it.
std::optional<qint64> asInteger(const Field& value);
// An array all of whose elements are objects. One element of another kind makes the whole list
// mistyped, hence absent.
std::optional<simdjson::dom::array> asObjectList(const Field& value);

// The "message" of a "Console.messageAdded" event.
struct MessageFields {
    Field source, level, text, url, line, repeatCount, parameters, stackTrace, timestamp;
    explicit MessageFields(simdjson::dom::object message);
};

// A remote object: an evaluation result, a property value, a logged argument.
struct RemoteObjectFields {
    Field type, subtype, value, description, preview, className, size, objectId;
    explicit RemoteObjectFields(simdjson::dom::object remote);
};

// An object preview, and the value preview of a property.
struct PreviewFields {
    Field properties, overflow, subtype, description, entries;
    explicit PreviewFields(simdjson::dom::object preview);
};

struct PropertyPreviewFields {
    Field name, type, value, valuePreview;
    explicit PropertyPreviewFields(simdjson::dom::object property);
};

// One entry of a map or set preview.
struct EntryPreviewFields {
    Field key, value;
    explicit EntryPreviewFields(simdjson::dom::object entry);
};

struct CallFrameFields {
    Field functionName, url, lineNumber, columnNumber;
    explicit CallFrameFields(simdjson::dom::object frame);
};

} // namespace ProtocolFields
