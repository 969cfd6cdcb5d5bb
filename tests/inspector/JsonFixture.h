#pragma once

#include <QTest>

#include <simdjson.h>

#include <string_view>

// Parses a JSON text once and keeps its DOM alive for the length of a test.
class JsonFixture {
public:
    explicit JsonFixture(std::string_view text) : m_text(text) {
        if (m_parser.parse(m_text).get(m_root) != simdjson::SUCCESS)
            qFatal("test JSON does not parse: %.*s", int(text.size()), text.data());
    }
    JsonFixture(const JsonFixture&) = delete;
    JsonFixture& operator=(const JsonFixture&) = delete;

    simdjson::dom::element root() const { return m_root; }
    simdjson::dom::object object() const { return m_root.get_object().value(); }
    simdjson::dom::array array() const { return m_root.get_array().value(); }

private:
    simdjson::padded_string m_text;
    simdjson::dom::parser m_parser;
    simdjson::dom::element m_root;
};
