#pragma once

#include <simdjson.h>

#include <string_view>

// Parses a JSON text once and keeps its DOM alive as long as the fixture; bad JSON throws.
struct JsonFixture {
    simdjson::dom::parser parser;
    simdjson::dom::element root;

    explicit JsonFixture(std::string_view text) : root(parser.parse(simdjson::padded_string(text)).value()) {}
    JsonFixture(const JsonFixture&) = delete;
    JsonFixture& operator=(const JsonFixture&) = delete;
    simdjson::dom::object object() const { return root.get_object().value(); }
    simdjson::dom::array array() const { return root.get_array().value(); }
};
