#include "wire/PropertyList.h"

#include "base/Logging.h"
#include "base/UniqueHandle.h"
#include "wire/PropertyListNesting.h"

#include <plist/plist.h>

#include <QDateTime>
#include <QString>

#include <cstdlib>
#include <limits>
#include <memory>

namespace {

// Property-list dates count seconds from 2001-01-01T00:00:00Z.
constexpr qint64 kAppleEpochOffsetSeconds = 978307200;
// No message nests more than a few dictionaries and arrays. libplist reads, frees and writes its
// trees recursively, so a hostile frame nested a million levels would exhaust the read thread's
// stack: deeper lists are refused before libplist sees them, and not written.
constexpr int kMaxDepth = 64;

using PlistPtr = UniqueHandle<void, plist_free>;

QVariant toVariant(plist_t node, int depth);

QVariantMap dictToMap(plist_t node, int depth) {
    QVariantMap map;
    plist_dict_iter raw = nullptr;
    plist_dict_new_iter(node, &raw);
    const MallocPtr<void> it{raw};
    if (!it)
        return map;
    for (;;) {
        // Asking for the value alone spares a copy of every key; the key is read in place.
        plist_t value = nullptr;
        plist_dict_next_item(node, it.get(), nullptr, &value);
        if (!value)
            break;
        uint64_t length = 0;
        const char* key = plist_get_string_ptr(plist_dict_item_get_key(value), &length);
        if (key) {
            map.insert(QString::fromUtf8(key, qsizetype(length)), toVariant(value, depth + 1));
            continue;
        }
        char* raw = nullptr;
        plist_get_key_val(plist_dict_item_get_key(value), &raw);
        if (const MallocPtr<char> copy{raw})
            map.insert(QString::fromUtf8(copy.get()), toVariant(value, depth + 1));
    }
    return map;
}

QVariantList arrayToList(plist_t node, int depth) {
    QVariantList list;
    const uint32_t count = plist_array_get_size(node);
    list.reserve(count);
    for (uint32_t i = 0; i < count; ++i)
        list.append(toVariant(plist_array_get_item(node, i), depth + 1));
    return list;
}

QVariant toVariant(plist_t node, int depth) {
    if (!node || depth > kMaxDepth)
        return {};
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        // Negative integers arrive in two's complement.
        return QVariant(static_cast<qint64>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return QVariant(QString::fromUtf8(text, text ? qsizetype(length) : 0));
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        return QVariant(QByteArray(bytes, bytes ? qsizetype(length) : 0));
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const qint64 ms = (qint64(sec) + kAppleEpochOffsetSeconds) * 1000 + usec / 1000;
        return QVariant(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return QVariant(static_cast<qint64>(value));
    }
    case PLIST_DICT:
        return QVariant(dictToMap(node, depth));
    case PLIST_ARRAY:
        return QVariant(arrayToList(node, depth));
    default:
        return {};
    }
}

plist_t fromVariant(const QVariant& value, int depth) {
    if (depth > kMaxDepth)
        return nullptr;
    switch (value.metaType().id()) {
    case QMetaType::QString:
        return plist_new_string(value.toString().toUtf8().constData());
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 ms = value.toDateTime().toMSecsSinceEpoch() - kAppleEpochOffsetSeconds * 1000;
        const qint64 sec = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
        if (sec < std::numeric_limits<int32_t>::min() || sec > std::numeric_limits<int32_t>::max())
            return nullptr;
        return plist_new_date(int32_t(sec), int32_t((ms - sec * 1000) * 1000));
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        PlistPtr dict{plist_new_dict()};
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            plist_t item = fromVariant(it.value(), depth + 1);
            if (!item)
                return nullptr;
            plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), item);
        }
        return dict.release();
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        const QVariantList list = value.toList();
        PlistPtr array{plist_new_array()};
        for (const QVariant& element : list) {
            plist_t item = fromVariant(element, depth + 1);
            if (!item)
                return nullptr;
            plist_array_append_item(array.get(), item);
        }
        return array.release();
    }
    default:
        return nullptr;
    }
}

// The parsed tree of a binary or XML property list, or null.
PlistPtr parse(const char* data, std::size_t size) {
    if (!data || size == 0 || size > std::numeric_limits<uint32_t>::max())
        return nullptr;
    using PropertyListNesting::Nesting;
    const Nesting nesting = PropertyListNesting::check(data, size, kMaxDepth);
    if (nesting == Nesting::tooDeep)
        qCWarning(lcWire) << "refused a property list nested deeper than" << kMaxDepth << "levels";
    if (nesting != Nesting::fine)
        return nullptr; // the callers report what they dropped
    plist_t root = nullptr;
    plist_from_memory(data, uint32_t(size), &root);
    return PlistPtr(root);
}

} // namespace

namespace PropertyList {

std::optional<QVariant> decode(const char* data, std::size_t size) {
    const PlistPtr root = parse(data, size);
    if (!root) {
        qCWarning(lcWire) << "undecodable property list of" << size << "bytes";
        return std::nullopt;
    }
    return toVariant(root.get(), 0);
}

std::optional<Message> decodeMessage(const char* data, std::size_t size) {
    const PlistPtr owner = parse(data, size);
    plist_t root = owner.get();
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        qCWarning(lcWire) << "dropped a frame that is no property-list dictionary";
        return std::nullopt;
    }
    plist_t selector = plist_dict_get_item(root, "__selector");
    if (!selector || plist_get_node_type(selector) != PLIST_STRING) {
        qCWarning(lcWire) << "dropped a frame without a selector";
        return std::nullopt;
    }
    Message message;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(selector, &length);
    message.selector = QString::fromUtf8(text, text ? qsizetype(length) : 0);
    plist_t argument = plist_dict_get_item(root, "__argument");
    if (argument && plist_get_node_type(argument) == PLIST_DICT)
        message.argument = dictToMap(argument, 1);
    return message;
}

std::optional<QByteArray> encodeBinary(const QVariant& value) {
    const PlistPtr root{fromVariant(value, 0)};
    if (!root)
        return std::nullopt;
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(root.get(), &raw, &length);
    const UniqueHandle<char, plist_to_bin_free> bytes{raw};
    if (!bytes)
        return std::nullopt;
    return QByteArray(bytes.get(), qsizetype(length));
}

std::optional<QByteArray> encodeBinary(const QVariantMap& dictionary) {
    return encodeBinary(QVariant(dictionary));
}

std::optional<QByteArray> encodeXml(const QVariantMap& dictionary) {
    const PlistPtr root{fromVariant(QVariant(dictionary), 0)};
    if (!root)
        return std::nullopt;
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &raw, &length);
    const UniqueHandle<char, plist_to_xml_free> text{raw};
    if (!text)
        return std::nullopt;
    return QByteArray(text.get(), qsizetype(length));
}

} // namespace PropertyList
