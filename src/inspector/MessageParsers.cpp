#include "inspector/MessageParsers.h"

#include "base/Logging.h"
#include "wire/InspectorJson.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view kWrapperMethod = "Target.dispatchMessageFromTarget";

} // namespace

MessageParsers::Level& MessageParsers::level(int depth, std::size_t size) {
    while (int(m_levels.size()) <= depth)
        m_levels.push_back(std::make_unique<Level>());
    Level& level = *m_levels[std::size_t(depth)];
    const std::size_t needed = size + simdjson::SIMDJSON_PADDING;
    if (level.buffer.size() < needed)
        level.buffer.resize(std::max(needed, level.buffer.size() * 2));
    return level;
}

std::optional<simdjson::dom::element> MessageParsers::parseIn(Level& level, std::size_t size) {
    std::memset(level.buffer.data() + size, 0, simdjson::SIMDJSON_PADDING);
    auto root = InspectorJson::parse(level.parser, std::string_view(level.buffer.data(), size), true);
    if (!root)
        qCWarning(lcInspector) << "dropped a page message that is not JSON," << size << "bytes";
    return root;
}

std::optional<simdjson::dom::element> MessageParsers::parse(int depth, std::string_view json) {
    Level& into = level(depth, json.size());
    std::memcpy(into.buffer.data(), json.data(), json.size());
    return parseIn(into, json.size());
}

std::optional<MessageParsers::Root> MessageParsers::parseInbound(std::string_view json) {
    Level& outer = level(0, json.size());
    std::memcpy(outer.buffer.data(), json.data(), json.size());
    std::memset(outer.buffer.data() + json.size(), 0, simdjson::SIMDJSON_PADDING);
    // The inner text is never longer than the wrapper.
    Level& inner = level(1, json.size());
    if (const auto size = unwrap(std::string_view(outer.buffer.data(), json.size()), inner)) {
        const auto root = parseIn(inner, *size);
        return root ? std::optional(Root{*root, 1}) : std::nullopt;
    }
    const auto root = parseIn(outer, json.size());
    return root ? std::optional(Root{*root, 0}) : std::nullopt;
}

// Reads the wrapper in one pass, keeping the first of each key as a whole parse would. Declines
// (leaving the message to that parse) on anything but exactly a wrapper: an "id" (possibly a
// response), another method, a params or message of another type, malformed or repairable text.
// Values it skips are not checked; the service writes them and they are never read.
std::optional<std::size_t> MessageParsers::unwrap(std::string_view json, Level& into) {
    simdjson::ondemand::document document;
    simdjson::ondemand::object wrapper;
    if (m_glance.iterate(json.data(), json.size(), json.size() + simdjson::SIMDJSON_PADDING).get(document) ||
        document.get_object().get(wrapper))
        return std::nullopt;
    bool sawMethod = false, sawParams = false;
    std::optional<std::size_t> size;
    for (auto field : wrapper) {
        std::string_view key;
        if (field.unescaped_key().get(key))
            return std::nullopt;
        if (key == "id")
            return std::nullopt;
        if (key == "method" && !sawMethod) {
            sawMethod = true;
            std::string_view method;
            if (field.value().get_string().get(method) || method != kWrapperMethod)
                return std::nullopt;
        } else if (key == "params" && !sawParams) {
            sawParams = true;
            simdjson::ondemand::object params;
            if (field.value().get_object().get(params))
                return std::nullopt;
            bool sawMessage = false;
            for (auto param : params) {
                std::string_view name;
                if (param.unescaped_key().get(name))
                    return std::nullopt;
                if (name != "message" || sawMessage)
                    continue;
                sawMessage = true;
                simdjson::ondemand::raw_json_string raw;
                if (param.value().get_raw_json_string().get(raw))
                    return std::nullopt;
                auto* out = reinterpret_cast<uint8_t*>(into.buffer.data());
                std::string_view text;
                if (m_glance.unescape(raw, out).get(text))
                    return std::nullopt;
                size = text.size();
            }
        }
    }
    // The whole text must have been one object, as a whole parse demands.
    if (!sawMethod || !size || document.current_location().error() != simdjson::OUT_OF_BOUNDS)
        return std::nullopt;
    return size;
}
