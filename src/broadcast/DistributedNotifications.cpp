#include "broadcast/DistributedNotifications.h"

#include "base/Logging.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>

namespace {

QDBusConnection bus() {
    return QDBusConnection::sessionBus();
}

} // namespace

DistributedNotifications::DistributedNotifications(QObject* parent) : QObject(parent) {
    // QVariantMap is a{sv} already; a list of them needs its marshalling registered once.
    static const QMetaType registered = qDBusRegisterMetaType<QList<QVariantMap>>();
    Q_UNUSED(registered);
}

bool DistributedNotifications::isAvailable() const {
    return bus().isConnected();
}

QString DistributedNotifications::interfaceName(const QString& name) {
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? name.left(dot) : QString();
}

QString DistributedNotifications::memberName(const QString& name) {
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? name.mid(dot + 1) : QString();
}

QString DistributedNotifications::objectPath(const QString& name) {
    const QString interface = interfaceName(name);
    return interface.isEmpty() ? QString() : u'/' + QString(interface).replace(u'.', u'/');
}

bool DistributedNotifications::post(const QString& name, const QList<QVariantMap>& records) {
    QDBusConnection connection = bus();
    if (!connection.isConnected())
        return false;
    const QString interface = interfaceName(name);
    const QString member = memberName(name);
    if (interface.isEmpty() || member.isEmpty()) {
        qCWarning(lcBroadcast) << "not a notification name:" << name;
        return false;
    }
    QDBusMessage signal = QDBusMessage::createSignal(objectPath(name), interface, member);
    signal << QVariant::fromValue(records);
    return connection.send(signal);
}

bool DistributedNotifications::observe(const QString& name, std::function<void()> handler) {
    QDBusConnection connection = bus();
    if (!connection.isConnected() || !handler)
        return false;
    const QString interface = interfaceName(name);
    const QString member = memberName(name);
    if (interface.isEmpty() || member.isEmpty()) {
        qCWarning(lcBroadcast) << "not a notification name:" << name;
        return false;
    }
    // One match per name: any sender, any object path, any arguments.
    if (!m_handlers.contains(name) &&
        !connection.connect(QString(), QString(), interface, member, this, SLOT(deliver(QDBusMessage))))
        return false;
    m_handlers[name].append(std::move(handler));
    return true;
}

void DistributedNotifications::deliver(const QDBusMessage& message) {
    // A handler may observe more names while it runs: call a copy.
    const QList<std::function<void()>> handlers =
        m_handlers.value(message.interface() + u'.' + message.member());
    for (const auto& handler : handlers)
        handler();
}
