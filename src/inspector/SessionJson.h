#pragma once

#include <QString>

#include <optional>
#include <string_view>

#include <simdjson.h>

// Small readers of inbound inspector JSON, and the error answer the connection gives in a page's
// place.
namespace SessionJson {

std::optional<std::string_view> string(simdjson::dom::object object, const char* key);
QString text(std::string_view utf8);
// An integer, also when written as a float without a fraction.
std::optional<qint64> integer(simdjson::dom::element value);
// An empty object, for answers that carry none.
simdjson::dom::object emptyObject();
// {"error": {"message": text}}, the shape of an inspector error, parsed with `parser`.
std::optional<simdjson::dom::element> error(simdjson::dom::parser& parser, const QString& text);

} // namespace SessionJson
