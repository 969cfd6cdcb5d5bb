#pragma once

#include "inspector/PropertyNode.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <string_view>

#include <simdjson.h>

// The requests that act on one page-side object or on the page itself: listing an object's
// properties, listing names for completion, serialising an object to text and capturing the page
// as an image. Each builds its inspector commands, hands them to a sender and turns the answers
// into results.
//
// Everything here runs on the connection's queue; the sender is the connection's request into the
// page's session. Answers are whole inspector responses ({"result": ...} or {"error": ...}).
namespace PageRequests {

using Handler = std::function<void(simdjson::dom::element answer)>;
// Sends one command into the page's session and tells whether it went out. A command that went out
// is answered once: by the page, or with an error when it is given up. One that did not (the page
// has no session) is never answered.
using Send = std::function<bool(const QString& method, const QJsonObject& params, Handler handler)>;

// ---- Properties ----

// "Runtime.getProperties" for the object's own properties; `done` gets the rows in display order.
void properties(const Send& send, const QString& objectID, std::function<void(QList<PropertyNode>)> done);

// The rows of a property answer: one per named property descriptor, sorted; an error answer gives
// a single unnamed row that says what went wrong.
QList<PropertyNode> nodes(simdjson::dom::element answer);

// Display order of property names: array indices by value, then names in the order a file browser
// uses (case-insensitive, embedded numbers by value), then the double-underscore internals.
void sortNodes(QList<PropertyNode>& nodes);

// The value of a name that is entirely a decimal integer within 64 bits ("+7", "-3", "10").
std::optional<qint64> integerName(QStringView name);

// ---- Completions ----

// Every property name reachable from `base` (an expression; the global object when absent):
// its own names and those of its whole prototype chain, without repeats, in first-seen order.
void completions(const Send& send, const std::optional<QString>& base, std::function<void(QStringList)> done);

// The expression that collects the names; `base` is inserted as written.
QString completionExpression(const std::optional<QString>& base);

// The names of a completion answer; empty when the expression threw or the value is not a list of
// strings.
QStringList completionNames(simdjson::dom::element answer);

// ---- Serialisation ----

// The object as text: JSON when `asJSON`, otherwise a JavaScript literal. Nothing when the page
// could not produce a string.
void serialize(const Send& send, const QString& objectID, bool asJSON,
               std::function<void(std::optional<QString>)> done);

// The function declaration that the page calls on the object.
QString serializerFunction(bool asJSON);

// The text of a serialisation answer.
std::optional<QString> serialized(simdjson::dom::element answer);

// ---- Snapshot ----

struct SnapshotSize {
    qint64 width = 0;
    qint64 height = 0;
};

// Three commands in a row: enable the page domain, measure the page (the whole document or the
// visible viewport), then capture that rectangle. `done` is called once, with the image bytes as
// the page encoded them, or with nothing (also when a step cannot be sent).
void snapshot(Send send, bool fullPage, std::function<void(std::optional<QByteArray>)> done);

// The expression that measures the page, as JSON text of two numbers.
QString sizeExpression(bool fullPage);

// The size from a measuring answer: two positive numbers, truncated to whole CSS pixels.
std::optional<SnapshotSize> snapshotSize(simdjson::dom::element answer);

// The parameters of "Page.snapshotRect" for that size.
QJsonObject snapshotRectParams(const SnapshotSize& size, bool fullPage);

// The bytes of a data URL: the text after its last comma, decoded as standard Base64. Nothing when
// that is not valid Base64 or decodes to no bytes.
std::optional<QByteArray> dataURLBytes(std::string_view dataURL);

// The image of a "Page.snapshotRect" answer.
std::optional<QByteArray> snapshotImage(simdjson::dom::element answer);

} // namespace PageRequests
