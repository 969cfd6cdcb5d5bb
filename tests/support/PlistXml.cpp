#include "support/PlistXml.h"

#include "inspector/PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>

namespace {

plist_t node(const QVariant& value) {
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return plist_new_uint(uint64_t(value.toLongLong()));
    case QMetaType::Double:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
    }
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            plist_dict_set_item(dict, it.key().toUtf8().constData(), node(it.value()));
        return dict;
    }
    case QMetaType::QVariantList: {
        plist_t array = plist_new_array();
        for (const QVariant& item : value.toList())
            plist_array_append_item(array, node(item));
        return array;
    }
    default:
        return plist_new_string(value.toString().toUtf8().constData());
    }
}

} // namespace

namespace PlistXml {

QByteArray encode(const QVariantMap& dictionary) {
    plist_t root = node(dictionary);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    QByteArray bytes(xml, qsizetype(length));
    std::free(xml);
    plist_free(root);
    return bytes;
}

std::optional<QVariantMap> decode(const QByteArray& bytes) {
    const std::optional<QVariant> value = PropertyList::decode(bytes);
    if (!value || value->metaType().id() != QMetaType::QVariantMap)
        return std::nullopt;
    return value->toMap();
}

} // namespace PlistXml
