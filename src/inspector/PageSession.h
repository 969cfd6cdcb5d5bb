#pragma once

#include "inspector/WebInspectorConnection.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <map>
#include <optional>

// One open inspector session on a page, and the requests still out in it.
struct PageSession {
    using Clock = std::chrono::steady_clock;

    struct Pending {
        WebInspectorConnection::ResponseHandler handler;
        QString label; // names the request in the time-out message
        Clock::time_point deadline;
        // Answered with the not-attached error when its session ends first; otherwise dropped then.
        bool endsWithSession = false;
        QString target; // the target it was sent through; empty for the page itself
    };

    quint64 serial = 0; // tells a session apart from a later one on the same page
    QString senderID;
    Clock::time_point attachedAt;
    QStringList pageTargets;
    // nullopt: not enabled yet; empty: enabled on the page itself; else the target id.
    std::optional<QString> enabledTarget;
    qint64 nextID = 1;
    std::map<qint64, Pending> pending;
};
