#pragma once

#include <QByteArray>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// XML property lists for the fake usbmuxd and lockdown, which speak XML where the inspector
// service speaks binary; both ways go through the program's own conversion.
namespace PlistXml {

QByteArray encode(const QVariantMap& dictionary);
// Nothing when the bytes are no dictionary.
std::optional<QVariantMap> decode(const QByteArray& bytes);

} // namespace PlistXml
