#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <simdjson.h>

// Parsing of inbound inspector messages.
//
// Pages print numbers the way JavaScript does, so a logged 1e20 arrives as the integer literal
// 100000000000000000000. simdjson only accepts integers that fit in 64 bits and would reject the whole
// message; such a message is parsed a second time with its oversized integers read as doubles, which
// is what they were in the page. Likewise a string holding one half of a surrogate pair alone (WebKit
// escapes it, as in '\u{1F600}'.slice(0, 1)) is read with U+FFFD in its place. Everything else that
// fails to parse stays unparsed.
namespace InspectorJson {

// The root of `json`, valid until `parser` parses again. `padded` promises that at least
// simdjson::SIMDJSON_PADDING readable bytes follow the text, which saves a copy.
std::optional<simdjson::dom::element> parse(simdjson::dom::parser& parser, std::string_view json,
                                            bool padded = false);

// `json` with every integer literal that does not fit in 64 bits turned into a floating-point literal
// (".0" appended); none when there is no such literal.
std::optional<std::string> widenOversizedIntegers(std::string_view json);

// `json` with every escaped surrogate that is not part of a pair turned into \ufffd; none when there
// is no such escape.
std::optional<std::string> replaceLoneSurrogates(std::string_view json);

} // namespace InspectorJson
