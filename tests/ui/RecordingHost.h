#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>

// Stands in for the program's transcript bridge: the page's "console" channel object, keeping every
// message the page posts, in order.
class RecordingHost : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    const QList<QJsonObject>& messages() const { return m_messages; }
    QList<QJsonObject> messages(const QString& type) const;
    void clear() { m_messages.clear(); }

public slots:
    void post(const QJsonObject& message);

signals:
    void posted(const QJsonObject& message);

private:
    QList<QJsonObject> m_messages;
};
