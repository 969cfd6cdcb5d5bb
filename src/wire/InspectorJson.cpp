#include "wire/InspectorJson.h"

#include "base/Logging.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace InspectorJson {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isNumberCharacter(char c) {
    return isDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

bool fitsInteger(std::string_view literal) {
    const char* first = literal.data();
    const char* last = literal.data() + literal.size();
    if (literal.front() == '-') {
        int64_t value = 0;
        return std::from_chars(first, last, value).ec == std::errc();
    }
    uint64_t value = 0;
    return std::from_chars(first, last, value).ec == std::errc();
}

} // namespace

std::optional<std::string> widenOversizedIntegers(std::string_view json) {
    std::string out;
    bool changed = false;
    size_t at = 0;
    while (at < json.size()) {
        const char c = json[at];
        if (c == '"') {
            // Copy the whole string so that digits inside it are left alone.
            size_t end = at + 1;
            while (end < json.size() && json[end] != '"')
                end += json[end] == '\\' ? 2 : 1;
            end = std::min(end + 1, json.size());
            out.append(json, at, end - at);
            at = end;
        } else if (c == '-' || isDigit(c)) {
            size_t integerEnd = at + 1;
            while (integerEnd < json.size() && isDigit(json[integerEnd]))
                ++integerEnd;
            size_t end = integerEnd;
            while (end < json.size() && isNumberCharacter(json[end]))
                ++end;
            out.append(json, at, end - at);
            const bool integral = end == integerEnd;
            const std::string_view literal = json.substr(at, integerEnd - at);
            if (integral && literal != "-" && !fitsInteger(literal)) {
                out += ".0";
                changed = true;
            }
            at = end;
        } else {
            out += c;
            ++at;
        }
    }
    if (!changed)
        return std::nullopt;
    return out;
}

std::optional<simdjson::dom::element> parse(simdjson::dom::parser& parser, std::string_view json,
                                            bool padded) {
    simdjson::dom::element root;
    auto error = parser.parse(json.data(), json.size(), !padded).get(root);
    if (error == simdjson::NUMBER_ERROR) {
        if (const auto widened = widenOversizedIntegers(json)) {
            qCDebug(lcWire) << "inspector message with integers beyond 64 bits, read as doubles";
            error = parser.parse(*widened).get(root);
        }
    }
    if (error != simdjson::SUCCESS) {
        qCWarning(lcWire) << "unparseable inspector message of" << json.size()
                          << "bytes:" << simdjson::error_message(error);
        return std::nullopt;
    }
    return root;
}

} // namespace InspectorJson
