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

// The UTF-16 unit of the escape "\uXXXX" at `at`, or -1.
int escapedUnit(std::string_view json, size_t at) {
    if (at + 6 > json.size() || json[at] != '\\' || json[at + 1] != 'u')
        return -1;
    unsigned unit = 0;
    const char* digits = json.data() + at + 2;
    const auto [end, error] = std::from_chars(digits, digits + 4, unit, 16);
    return error == std::errc() && end == digits + 4 ? int(unit) : -1;
}

bool isHighSurrogate(int unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(int unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

std::optional<std::string> replaceLoneSurrogates(std::string_view json) {
    std::string out;
    bool changed = false;
    bool inString = false;
    size_t at = 0;
    while (at < json.size()) {
        const char c = json[at];
        if (!inString || c != '\\') {
            inString ^= c == '"';
            out += c;
            ++at;
            continue;
        }
        const int unit = escapedUnit(json, at);
        if (isHighSurrogate(unit) && isLowSurrogate(escapedUnit(json, at + 6))) {
            out.append(json, at, 12);
            at += 12;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            out += "\\ufffd";
            changed = true;
            at += 6;
        } else {
            // Any other escape, copied whole so that an escaped quote or backslash is not misread.
            out.append(json, at, std::min<size_t>(2, json.size() - at));
            at += 2;
        }
    }
    if (!changed)
        return std::nullopt;
    return out;
}

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
    // Rare repairs, tried only once the fast path has failed; a text may need both, in either order.
    std::string repaired;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::optional<std::string> text;
        if (error == simdjson::NUMBER_ERROR)
            text = widenOversizedIntegers(json);
        else if (error == simdjson::STRING_ERROR)
            text = replaceLoneSurrogates(json);
        if (!text)
            break;
        qCDebug(lcWire) << "inspector message repaired:" << simdjson::error_message(error);
        repaired = std::move(*text);
        json = repaired;
        error = parser.parse(repaired).get(root);
    }
    if (error != simdjson::SUCCESS) {
        qCWarning(lcWire) << "unparseable inspector message of" << json.size()
                          << "bytes:" << simdjson::error_message(error);
        return std::nullopt;
    }
    return root;
}

} // namespace InspectorJson
