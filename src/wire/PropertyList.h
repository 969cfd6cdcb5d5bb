#pragma once

#include <QByteArray>
#include <QVariant>
#include <QVariantMap>

#include <cstddef>
#include <optional>

// The one place where property lists meet the rest of the program. Decoded values become
// QVariant: QString, qint64, bool, double, QByteArray, QDateTime, QVariantMap and QVariantList.
namespace PropertyList {

// Reads a binary or XML property list. Returns nothing when the bytes are not a property list.
std::optional<QVariant> decode(const char* data, std::size_t size);
inline std::optional<QVariant> decode(const QByteArray& bytes) {
    return decode(bytes.constData(), bytes.size());
}

// Reads a framed message body: {"__selector": string, "__argument": dictionary}. Converts only
// those two entries. `selector` is empty when the body is no dictionary or has no string selector;
// a missing or mistyped argument gives an empty dictionary.
struct Message {
    QString selector;
    QVariantMap argument;
};
std::optional<Message> decodeMessage(const char* data, std::size_t size);

// Writes a dictionary as a binary property list (bplist00). Returns nothing when a value has a
// type that property lists cannot hold.
std::optional<QByteArray> encodeBinary(const QVariantMap& dictionary);

// Writes a dictionary as an XML property list (what usbmuxd and lockdown speak).
std::optional<QByteArray> encodeXml(const QVariantMap& dictionary);

// Same, for any supported value at the top level.
std::optional<QByteArray> encodeBinary(const QVariant& value);

} // namespace PropertyList
