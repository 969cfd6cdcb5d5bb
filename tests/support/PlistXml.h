#pragma once

#include <QByteArray>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// XML property lists for the fake usbmuxd and lockdown, which speak XML where the inspector
// service speaks binary. Integers that are not negative become unsigned, as those daemons send
// them; reading goes through the program's own decoder.
namespace PlistXml {

QByteArray encode(const QVariantMap& dictionary);
// Nothing when the bytes are no dictionary.
std::optional<QVariantMap> decode(const QByteArray& bytes);

} // namespace PlistXml
