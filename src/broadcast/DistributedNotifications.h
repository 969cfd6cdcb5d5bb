#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

class QDBusMessage;

// Notifications exchanged by name with the other processes of the user.
//
// On Linux they travel over the D-Bus session bus as signals: the notification "org.example.app.changed"
// is the signal `changed` of the interface "org.example.app", posted from the object path
// "/org/example/app". Observers hear a name from any process and any object path, whatever it carries.
//
// Without a session bus nothing is sent, nothing arrives and nothing fails. Main thread only.
class DistributedNotifications : public QObject {
    Q_OBJECT

public:
    explicit DistributedNotifications(QObject* parent = nullptr);

    // Whether notifications can travel at all.
    bool isAvailable() const;

    // Posts `name` with one argument, a list of records (D-Bus type aa{sv}). False when it was not sent.
    bool post(const QString& name, const QList<QVariantMap>& records);

    // Calls `handler` on the main thread for every notification `name` that arrives. False when there is
    // nothing to listen on or the name is not a valid notification name.
    bool observe(const QString& name, std::function<void()> handler);

    // How a notification name travels: "a.b.c" is member "c" of interface "a.b" on path "/a/b".
    static QString interfaceName(const QString& name);
    static QString memberName(const QString& name);
    static QString objectPath(const QString& name);

private slots:
    void deliver(const QDBusMessage& message);

private:
    QHash<QString, QList<std::function<void()>>> m_handlers;
};
