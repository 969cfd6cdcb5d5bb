#include "RecordingHost.h"

QList<QJsonObject> RecordingHost::messages(const QString& type) const {
    QList<QJsonObject> found;
    for (const auto& message : m_messages)
        if (message.value(QStringLiteral("type")).toString() == type)
            found.append(message);
    return found;
}

void RecordingHost::post(const QJsonObject& message) {
    m_messages.append(message);
    emit posted(message);
}
