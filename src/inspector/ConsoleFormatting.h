#pragma once

#include "inspector/ConsoleEntry.h"
#include "inspector/RemoteObjectRef.h"
#include "inspector/StackFrame.h"
#include "inspector/PageKey.h"

#include <QList>
#include <QString>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <simdjson.h>

// Turns what the inspector protocol says about console messages and page-side values into the plain
// text of console entries. Stateless; safe to call from any thread.
//
// Input is the inspector's JSON as parsed by simdjson. A field that is missing, or holds a value of
// another type than expected, counts as missing, field by field. Any JSON number counts as a number.
// Text is assembled as UTF-8 and turned into a QString once per result.
namespace ConsoleFormatting {

// The entry for the "message" object of a "Console.messageAdded" event.
ConsoleEntry entry(simdjson::dom::object message, const PageKey& page);

// One-line text of a remote object (an evaluation result, a property value, a logged argument).
QString describe(simdjson::dom::object object);

// Expandable references to the objects among `objects`, in order: every object with a string
// "objectId" that is not null. Primitives carry no object id and are left out, as are non-objects.
QList<RemoteObjectRef> references(simdjson::dom::array objects);
std::optional<RemoteObjectRef> reference(simdjson::dom::object object);

// Building blocks. The text functions append UTF-8 to `out`.
using Parameters = std::span<const simdjson::dom::object>;

// The message text of console arguments: a leading format string is applied, the rest is described,
// everything joined with single spaces.
// Where render() wrote the description of a parameter that no format specifier consumed:
// parameters[index] is described by out[begin, end).
struct DescribedSpan {
    std::size_t index;
    std::size_t begin;
    std::size_t end;
};
void render(std::string& out, Parameters parameters, std::vector<DescribedSpan>* described = nullptr);

// Applies the format specifiers of `format` (%s %d %i %f %o %O %j %c %%), consuming the arguments they
// use from the front of `parameters`.
void substitute(std::string& out, std::string_view format, Parameters& parameters);

void describe(std::string& out, simdjson::dom::object object);

// The short text of an object preview: arrays, maps and sets with entries, errors, plain objects.
void describePreview(std::string& out, simdjson::dom::object preview, std::optional<std::string_view> subtype,
                     std::optional<std::string_view> description);

// The text of one property inside a preview.
void previewValue(std::string& out, simdjson::dom::object property);

// Frames of a "stackTrace" value: an object with "callFrames", or an array of frames.
QList<StackFrame> stack(simdjson::dom::element value);

// A number as text: integral values below 10^15 in magnitude as plain integers, anything else in the
// shortest decimal form that reads back as the same double ("0.1", "1e+16").
void trimmed(std::string& out, double number);
std::string trimmed(double number);

// The name of a function from its source text: "function foo(a) {}" gives "foo", an arrow function
// gives an empty name, "class Foo {}" gives "class".
std::string_view functionName(std::optional<std::string_view> description);

} // namespace ConsoleFormatting
