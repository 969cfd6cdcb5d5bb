#include "support/PlistXml.h"

#include "wire/PropertyList.h"

namespace PlistXml {

QByteArray encode(const QVariantMap& dictionary) {
    return PropertyList::encodeXml(dictionary).value_or(QByteArray());
}

std::optional<QVariantMap> decode(const QByteArray& bytes) {
    const std::optional<QVariant> value = PropertyList::decode(bytes);
    if (!value || value->metaType().id() != QMetaType::QVariantMap)
        return std::nullopt;
    return value->toMap();
}

} // namespace PlistXml
