#include "wire/PropertyListNesting.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace PropertyListNesting {

namespace {

uint64_t readBigEndian(const unsigned char* bytes, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// A binary list is a table of objects; containers refer to their items by index, so an object can
// be reached on many paths. Each container's height is computed once, in a depth-first walk.
Nesting binaryNesting(const unsigned char* data, std::size_t size, unsigned maxDepth) {
    constexpr std::size_t kHeader = 8, kTrailer = 32;
    if (size < kHeader + kTrailer)
        return Nesting::malformed;
    const std::size_t end = size - kTrailer; // objects and their offsets lie before the trailer
    const unsigned char* trailer = data + end;
    const unsigned offsetWidth = trailer[6], refWidth = trailer[7];
    const uint64_t objects = readBigEndian(trailer + 8, 8);
    const uint64_t root = readBigEndian(trailer + 16, 8);
    const uint64_t table = readBigEndian(trailer + 24, 8);
    if (offsetWidth < 1 || offsetWidth > 8 || refWidth < 1 || refWidth > 8 || root >= objects ||
        table < kHeader || table > end || objects > (end - table) / offsetWidth)
        return Nesting::malformed;

    struct Container {
        const unsigned char* refs = nullptr; // null for an object that holds no others
        uint64_t count = 0;
    };
    // Where object `index` starts, and its length from its marker byte and (for 15 or more) its
    // length object, with where its contents start.
    struct Sized {
        std::size_t at;
        uint64_t count;
        std::size_t contents;
    };
    const auto sizeOf = [&](uint64_t index) -> std::optional<Sized> {
        const uint64_t at = readBigEndian(data + table + index * offsetWidth, offsetWidth);
        if (at < kHeader || at >= end)
            return std::nullopt;
        uint64_t count = data[at] & 0xF;
        std::size_t contents = at + 1;
        if (count == 0xF && data[at] >> 4 >= 0x4) { // data, strings and containers
            if (contents >= end || data[contents] >> 4 != 0x1 || (data[contents] & 0xF) > 3)
                return std::nullopt;
            const unsigned width = 1u << (data[contents] & 0xF);
            if (end - contents - 1 < width)
                return std::nullopt;
            count = readBigEndian(data + contents + 1, width);
            contents += 1 + width;
        }
        return Sized{std::size_t(at), count, contents};
    };
    // libplist asserts, ending the process, when it reads a dictionary key holding a NUL.
    const auto keyHoldsNul = [&](uint64_t index) {
        const std::optional<Sized> key = index < objects ? sizeOf(index) : std::nullopt;
        if (!key)
            return true;
        const unsigned type = data[key->at] >> 4, unit = type == 0x6 ? 2 : 1; // ASCII or UTF-16
        if ((type != 0x5 && type != 0x6) || key->count > (end - key->contents) / unit)
            return false; // libplist's own checks apply
        for (uint64_t i = 0; i < key->count; ++i)
            if (readBigEndian(data + key->contents + i * unit, unit) == 0)
                return true;
        return false;
    };
    // The items of object `index`.
    const auto itemsOf = [&](uint64_t index) -> std::optional<Container> {
        const std::optional<Sized> sized = sizeOf(index);
        if (!sized)
            return std::nullopt;
        const unsigned type = data[sized->at] >> 4;
        if (type < 0xA || type > 0xD) // array, ordered set, set, dictionary
            return Container{};
        uint64_t count = sized->count;
        const std::size_t refs = sized->contents;
        if (type == 0xD && count > end) // keys, then values
            return std::nullopt;
        const uint64_t keys = type == 0xD ? count : 0;
        count *= type == 0xD ? 2 : 1;
        if (count > (end - refs) / refWidth)
            return std::nullopt;
        for (uint64_t i = 0; i < keys; ++i)
            if (keyHoldsNul(readBigEndian(data + refs + i * refWidth, refWidth)))
                return std::nullopt;
        return Container{data + refs, count};
    };

    constexpr uint8_t kOnPath = 0xFF;
    std::vector<uint8_t> known(objects, 0); // 1 + height once walked; kOnPath while being walked
    struct Step {
        uint64_t index;
        Container items;
        uint64_t next = 0;
        unsigned tallest = 0; // of the items walked so far
    };
    std::vector<Step> path;
    // Takes in object `index` below the current path.
    const auto visit = [&](uint64_t index) {
        if (index >= objects || known[index] == kOnPath)
            return Nesting::malformed; // libplist refuses cycles too
        if (known[index] == 0) {
            const std::optional<Container> items = itemsOf(index);
            if (!items)
                return Nesting::malformed;
            if (items->refs) {
                if (path.size() >= maxDepth)
                    return Nesting::tooDeep;
                known[index] = kOnPath;
                path.push_back({index, *items});
                return Nesting::fine;
            }
            known[index] = 1;
        }
        const unsigned height = known[index] - 1u;
        if (path.size() + height > maxDepth)
            return Nesting::tooDeep;
        if (!path.empty())
            path.back().tallest = std::max(path.back().tallest, height);
        return Nesting::fine;
    };
    if (const Nesting rootNesting = visit(root); rootNesting != Nesting::fine)
        return rootNesting;
    while (!path.empty()) {
        Step& step = path.back();
        if (step.next < step.items.count) {
            const unsigned char* ref = step.items.refs + step.next++ * refWidth;
            if (const Nesting nesting = visit(readBigEndian(ref, refWidth)); nesting != Nesting::fine)
                return nesting;
            continue;
        }
        const unsigned height = step.tallest + 1;
        known[step.index] = uint8_t(height + 1);
        path.pop_back();
        if (!path.empty())
            path.back().tallest = std::max(path.back().tallest, height);
    }
    return Nesting::fine;
}

// An XML list nests only through <array> and <dict> elements: counts their depth in one pass,
// skipping what libplist skips (declarations, comments, character data) and reading tags the way it
// does: a name up to white space or an angle bracket, then up to '>' outside double quotes.
Nesting xmlNesting(std::string_view text, int maxDepth) {
    // The first of `stops` from `from` on, outside double quotes; the end when there is none.
    const auto nextOutsideQuotes = [&](std::size_t from, std::string_view stops) {
        for (; from < text.size() && stops.find(text[from]) == std::string_view::npos; ++from) {
            if (text[from] == '"')
                from = std::min(text.find('"', from + 1), text.size());
        }
        return std::min(from, text.size());
    };
    // Just past the first `mark` from `from` on (outside double quotes when `quoted`).
    const auto skipPast = [&](std::size_t from, std::string_view mark, bool quoted) {
        while (from < text.size()) {
            from = quoted ? nextOutsideQuotes(from, mark.substr(0, 1)) : text.find(mark.front(), from);
            if (from >= text.size())
                break;
            if (text.substr(from).starts_with(mark))
                return from + mark.size();
            ++from;
        }
        return text.size();
    };
    int depth = 0;
    for (std::size_t at = text.find('<'); at < text.size(); at = text.find('<', at)) {
        const std::string_view rest = text.substr(at);
        if (rest.starts_with("<?")) {
            at = skipPast(at + 2, "?>", true);
        } else if (rest.starts_with("<!--")) {
            at = skipPast(at + 4, "-->", false);
        } else if (rest.starts_with("<![CDATA[")) {
            at = skipPast(at + 9, "]]>", false);
        } else if (rest.starts_with("<!")) { // a declaration, its internal subset up to "]>"
            const std::size_t end = nextOutsideQuotes(at + 2, "[>");
            at = end < text.size() && text[end] == '[' ? skipPast(end, "]>", true) : end + 1;
        } else {
            const std::size_t nameEnd = std::min(text.find_first_of(" \t\r\n<>", at + 1), text.size());
            std::string_view name = text.substr(at + 1, nameEnd - at - 1);
            const std::size_t end = nextOutsideQuotes(nameEnd, "<>");
            if (end >= text.size() || text[end] != '>')
                return Nesting::malformed;
            const bool empty = text[end - 1] == '/';
            if (empty && name.ends_with('/'))
                name.remove_suffix(1);
            if (name == "array" || name == "dict") {
                if (depth + 1 > maxDepth) // an empty one counts too, as in a binary list
                    return Nesting::tooDeep;
                depth += empty ? 0 : 1;
            }
            if (name == "/array" || name == "/dict")
                depth = std::max(depth - 1, 0);
            at = end + 1;
        }
    }
    return Nesting::fine;
}

} // namespace

Nesting check(const char* data, std::size_t size, int maxDepth) {
    constexpr std::string_view kBinaryMagic = "bplist00";
    if (std::string_view(data, size).starts_with(kBinaryMagic))
        return binaryNesting(reinterpret_cast<const unsigned char*>(data), size, unsigned(maxDepth));
    return xmlNesting(std::string_view(data, size), maxDepth);
}

} // namespace PropertyListNesting
