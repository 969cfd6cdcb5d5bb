#pragma once

#include "inspector/PageKey.h"
#include "wire/WIRSocket.h"

#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

// The connection's side of the conversation with the inspector service: who we are, the socket once
// the link is up, and the keys and readers of the service's property-list arguments. Used on the
// connection's queue only.
class ServiceLink {
public:
    static inline const QString kConnectionKey = QStringLiteral("WIRConnectionIdentifierKey");
    static inline const QString kApplicationKey = QStringLiteral("WIRApplicationIdentifierKey");
    static inline const QString kPageKey = QStringLiteral("WIRPageIdentifierKey");
    static inline const QString kSenderKey = QStringLiteral("WIRSenderKey");
    static inline const QString kDestinationKey = QStringLiteral("WIRDestinationKey");
    static inline const QString kMessageDataKey = QStringLiteral("WIRMessageDataKey");
    static inline const QString kSocketDataKey = QStringLiteral("WIRSocketDataKey");

    ServiceLink(QString deviceID, QString connectionID);

    const QString& deviceID() const { return m_deviceID; }
    const QString& connectionID() const { return m_connectionID; }

    void setSocket(std::shared_ptr<WIRSocket> socket) { m_socket = std::move(socket); }
    // Sends one message; nothing happens before the link is up.
    void send(const QString& selector, const QVariantMap& argument) const;
    // Shuts a socket that is still open; its read thread then reports the close.
    void shut();

    // The argument every message carries, and the one that addresses a page.
    QVariantMap base() const;
    QVariantMap pageArgument(const PageKey& key) const;

    // A value of the expected type, or nothing.
    static std::optional<QString> string(const QVariantMap& map, const QString& key);
    static std::optional<QByteArray> data(const QVariantMap& map, const QString& key);
    static std::optional<QVariantMap> map(const QVariantMap& map, const QString& key);
    static std::optional<qint64> number(const QVariantMap& map, const QString& key);

private:
    const QString m_deviceID;
    const QString m_connectionID;
    std::shared_ptr<WIRSocket> m_socket;
};
