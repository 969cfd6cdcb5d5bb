#include "wire/SentDataReader.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace SentDataReader {

namespace {

constexpr std::size_t kHeader = 8, kTrailer = 32;
// More entries than the service ever puts in this argument: anything bigger is left to libplist.
constexpr uint64_t kMaxArgumentEntries = 16;
constexpr std::string_view kSelector = "_rpc_applicationSentData:";

uint64_t bigEndian(const unsigned char* bytes, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value = value << 8 | bytes[i];
    return value;
}

bool usualWidth(unsigned width) {
    return width == 1 || width == 2 || width == 4 || width == 8;
}

// The argument keys the service sends, shared instead of allocated for every frame.
QString sharedKey(std::string_view key) {
    static const std::array<QString, 6> known = {
        QStringLiteral("WIRApplicationIdentifierKey"),
        QStringLiteral("WIRPageIdentifierKey"),
        QStringLiteral("WIRMessageDataKey"),
        QStringLiteral("WIRDestinationKey"),
        QStringLiteral("WIRSenderKey"),
        QStringLiteral("WIRConnectionIdentifierKey"),
    };
    for (const QString& name : known)
        if (QLatin1StringView(key.data(), qsizetype(key.size())) == name)
            return name;
    return QString::fromUtf8(key.data(), qsizetype(key.size()));
}

// The objects of a binary list, read under libplist's own limits: every object and every byte
// it covers lies between the header and the offset table.
class Objects {
public:
    bool open(const unsigned char* data, std::size_t size) {
        if (size < kHeader + kTrailer || std::memcmp(data, "bplist00", kHeader) != 0)
            return false;
        m_data = data;
        const unsigned char* trailer = data + size - kTrailer;
        m_offsetWidth = trailer[6];
        m_refWidth = trailer[7];
        m_count = bigEndian(trailer + 8, 8);
        m_root = bigEndian(trailer + 16, 8);
        m_table = bigEndian(trailer + 24, 8);
        const uint64_t end = size - kTrailer;
        return usualWidth(m_offsetWidth) && usualWidth(m_refWidth) && m_count > 0 && m_root < m_count &&
               m_table >= kHeader && m_table < end && m_count <= (end - m_table) / m_offsetWidth;
    }

    uint64_t root() const { return m_root; }

    struct Object {
        unsigned type = 0;
        uint64_t length = 0; // bytes, characters, or entries
        uint64_t at = 0;     // where its contents start
    };

    // Object `index`, with its contents (and, for a dictionary, its references) in range.
    std::optional<Object> object(uint64_t index) const {
        if (index >= m_count)
            return std::nullopt;
        const uint64_t at = bigEndian(m_data + m_table + index * m_offsetWidth, m_offsetWidth);
        if (at < kHeader || at >= m_table)
            return std::nullopt;
        Object object{unsigned(m_data[at] >> 4), uint64_t(m_data[at] & 0xF), at + 1};
        if (object.type == 0x1) { // integer of 2^n bytes
            if (object.length > 3)
                return std::nullopt;
            object.length = 1u << object.length;
        } else if (object.length == 0xF && object.type != 0x0) {
            if (object.at >= m_table || m_data[object.at] >> 4 != 0x1 || (m_data[object.at] & 0xF) > 3)
                return std::nullopt;
            const unsigned width = 1u << (m_data[object.at] & 0xF);
            if (m_table - object.at - 1 < width)
                return std::nullopt;
            object.length = bigEndian(m_data + object.at + 1, width);
            object.at += 1 + width;
        }
        uint64_t bytes = object.length;
        if (object.type == 0xD) {
            if (object.length > m_table)
                return std::nullopt;
            bytes = object.length * 2 * m_refWidth;
        }
        if (object.type != 0x0 && bytes > m_table - object.at)
            return std::nullopt;
        return object;
    }

    // The index that entry `i` of a dictionary refers to: its key (value = false) or its value.
    uint64_t entry(const Object& dictionary, uint64_t i, bool value) const {
        const uint64_t slot = value ? dictionary.length + i : i;
        return bigEndian(m_data + dictionary.at + slot * m_refWidth, m_refWidth);
    }

    // An ASCII string without NUL bytes (libplist would cut the text at one).
    std::optional<std::string_view> text(uint64_t index) const {
        const auto object = this->object(index);
        if (!object || object->type != 0x5)
            return std::nullopt;
        const auto* begin = reinterpret_cast<const char*>(m_data + object->at);
        const std::string_view text(begin, object->length);
        if (text.find('\0') != std::string_view::npos)
            return std::nullopt;
        return text;
    }

    // A flag, a whole number, data or a string; nothing for any other kind.
    std::optional<QVariant> leaf(uint64_t index) const {
        const auto object = this->object(index);
        if (!object)
            return std::nullopt;
        const auto* bytes = reinterpret_cast<const char*>(m_data + object->at);
        switch (object->type) {
        case 0x0:
            if (object->length == 0x8 || object->length == 0x9)
                return QVariant(object->length == 0x9);
            return std::nullopt;
        case 0x1: // negative numbers arrive in two's complement
            return QVariant(static_cast<qint64>(bigEndian(m_data + object->at, unsigned(object->length))));
        case 0x4:
            return QVariant(QByteArray(bytes, qsizetype(object->length)));
        case 0x5:
            if (const auto value = text(index))
                return QVariant(QString::fromUtf8(value->data(), qsizetype(value->size())));
            return std::nullopt;
        default:
            return std::nullopt;
        }
    }

private:
    const unsigned char* m_data = nullptr;
    unsigned m_offsetWidth = 0, m_refWidth = 0;
    uint64_t m_count = 0, m_root = 0, m_table = 0;
};

std::optional<QVariantMap> argument(const Objects& objects, uint64_t index) {
    const auto dictionary = objects.object(index);
    if (!dictionary || dictionary->type != 0xD || dictionary->length > kMaxArgumentEntries)
        return std::nullopt;
    QVariantMap map;
    for (uint64_t i = 0; i < dictionary->length; ++i) {
        const auto key = objects.text(objects.entry(*dictionary, i, false));
        auto value = key ? objects.leaf(objects.entry(*dictionary, i, true)) : std::nullopt;
        if (!value)
            return std::nullopt;
        // Later entries with the same key win, as when the tree becomes a map.
        map.insert(sharedKey(*key), std::move(*value));
    }
    return map;
}

} // namespace

std::optional<PropertyList::Message> decode(const char* data, std::size_t size) {
    Objects objects;
    if (!data || !objects.open(reinterpret_cast<const unsigned char*>(data), size))
        return std::nullopt;
    const auto root = objects.object(objects.root());
    if (!root || root->type != 0xD || root->length != 2)
        return std::nullopt;
    std::optional<uint64_t> selector, argumentIndex;
    for (uint64_t i = 0; i < 2; ++i) {
        const auto key = objects.text(objects.entry(*root, i, false));
        const uint64_t value = objects.entry(*root, i, true);
        if (key == "__selector" && !selector)
            selector = value;
        else if (key == "__argument" && !argumentIndex)
            argumentIndex = value;
        else
            return std::nullopt;
    }
    if (objects.text(*selector) != kSelector)
        return std::nullopt;
    std::optional<QVariantMap> map = argument(objects, *argumentIndex);
    if (!map)
        return std::nullopt;
    static const QString selectorText = QString::fromUtf8(kSelector.data(), qsizetype(kSelector.size()));
    return PropertyList::Message{selectorText, std::move(*map)};
}

bool agreesWithPropertyList(const char* data, std::size_t size) {
    const std::optional<PropertyList::Message> fast = decode(data, size);
    if (!fast)
        return true;
    const std::optional<PropertyList::Message> full = PropertyList::decodeMessage(data, size);
    return full && full->selector == fast->selector && full->argument == fast->argument;
}

} // namespace SentDataReader
