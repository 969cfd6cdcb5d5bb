#pragma once

#include <QJsonObject>
#include <QObject>

// The transcript page's "console" object on its web channel: every message the page posts comes out
// as `received`. Only `post` is offered to the page.
class TranscriptHost : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    Q_INVOKABLE void post(const QJsonObject& message) { emit received(message); }

signals:
    void received(const QJsonObject& message);
};
