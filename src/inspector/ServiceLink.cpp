#include "inspector/ServiceLink.h"

#include "base/Logging.h"

ServiceLink::ServiceLink(QString deviceID, QString connectionID)
    : m_deviceID(std::move(deviceID)), m_connectionID(std::move(connectionID)) {}

void ServiceLink::send(const QString& selector, const QVariantMap& argument) const {
    if (!m_socket)
        return;
    qCDebug(lcInspector) << "send" << selector;
    m_socket->send(selector, argument);
}

void ServiceLink::shut() {
    if (m_socket && m_socket->isLive())
        m_socket->close();
}

QVariantMap ServiceLink::base() const {
    return {{kConnectionKey, m_connectionID}};
}

QVariantMap ServiceLink::pageArgument(const PageKey& key) const {
    return {{kConnectionKey, m_connectionID}, {kApplicationKey, key.appID}, {kPageKey, key.pageID}};
}

std::optional<QString> ServiceLink::string(const QVariantMap& map, const QString& key) {
    const auto it = map.constFind(key);
    if (it == map.cend() || it->metaType().id() != QMetaType::QString)
        return std::nullopt;
    return it->toString();
}

std::optional<QByteArray> ServiceLink::data(const QVariantMap& map, const QString& key) {
    const auto it = map.constFind(key);
    if (it == map.cend() || it->metaType().id() != QMetaType::QByteArray)
        return std::nullopt;
    return it->toByteArray();
}

std::optional<QVariantMap> ServiceLink::map(const QVariantMap& map, const QString& key) {
    const auto it = map.constFind(key);
    if (it == map.cend() || it->metaType().id() != QMetaType::QVariantMap)
        return std::nullopt;
    return it->toMap();
}

std::optional<qint64> ServiceLink::number(const QVariantMap& map, const QString& key) {
    const auto it = map.constFind(key);
    if (it == map.cend())
        return std::nullopt;
    switch (it->metaType().id()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return it->toLongLong();
    case QMetaType::Double: {
        const double value = it->toDouble();
        if (!(value >= -9.2e18 && value <= 9.2e18))
            return std::nullopt;
        return qint64(value);
    }
    default:
        return std::nullopt;
    }
}
