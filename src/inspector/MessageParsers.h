#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <simdjson.h>

// The parsers of inbound page messages, one per nesting level of target wrappers, each with a
// padded input buffer that is reused: a message costs no allocation once the buffers have grown.
//
// Most of what pages send is console traffic wrapped as {"method": "Target.dispatchMessageFromTarget",
// "params": {"targetId": ..., "message": "<inner JSON text>"}}. Such a wrapper is only glanced at:
// its inner text is unescaped straight into the next level's buffer and parsed once, instead of
// the wrapper being parsed whole and its inner text copied out of it. Anything else, and any
// wrapper the glance does not fully understand, is parsed whole as before.
class MessageParsers {
public:
    struct Root {
        simdjson::dom::element element;
        int depth = 0; // 1 when the root is the inner message of a wrapper
    };

    // The root of a message at nesting `depth`; valid until that depth parses again.
    std::optional<simdjson::dom::element> parse(int depth, std::string_view json);
    // A message as it came from the service: the inner message of a plain target wrapper, or the
    // message itself. Nothing when it is not JSON.
    std::optional<Root> parseInbound(std::string_view json);

private:
    struct Level {
        simdjson::dom::parser parser;
        std::vector<char> buffer;
    };
    // The level's buffer, with room for `size` bytes and the padding after them.
    Level& level(int depth, std::size_t size);
    std::optional<simdjson::dom::element> parseIn(Level& level, std::size_t size);
    // The inner text of a plain target wrapper held (padded) in `json`, unescaped into `into`.
    std::optional<std::size_t> unwrap(std::string_view json, Level& into);

    std::vector<std::unique_ptr<Level>> m_levels;
    simdjson::ondemand::parser m_glance;
};
