#pragma once

#include "inspector/ProtocolFields.h"
#include "inspector/RemoteObjectRef.h"

#include <QString>

#include <optional>
#include <string>
#include <string_view>

#include <simdjson.h>

// The one-line text of page-side values as the inspector describes them (remote objects with their
// previews), and expandable references to them. Stateless; safe on any thread. Text is
// assembled as UTF-8; the functions taking `out` append to it.
namespace ConsoleFormatting {

// One-line text of a remote object (an evaluation result, a property value, a logged argument).
QString describe(simdjson::dom::object object);
void describe(std::string& out, simdjson::dom::object object);
void describe(std::string& out, const ProtocolFields::RemoteObjectFields& remote);

// An expandable reference to the object: one with a string "objectId" that is not null. Primitives
// carry no object id.
std::optional<RemoteObjectRef> reference(simdjson::dom::object object);

// A number as text: integral values below 10^15 in magnitude as plain integers, anything else in the
// shortest decimal form that reads back as the same double ("0.1", "1e+16").
void trimmed(std::string& out, double number);
std::string trimmed(double number);

// The name of a function from its source text: "function foo(a) {}" gives "foo", an arrow function
// gives an empty name, "class Foo {}" gives "class".
std::string_view functionName(std::optional<std::string_view> description);

} // namespace ConsoleFormatting
