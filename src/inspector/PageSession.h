#pragma once

#include "inspector/ConnectionEvents.h"
#include "inspector/WebInspectorConnection.h"

#include <QJsonObject>
#include <QUuid>

#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>
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

    // A console event on its way out. Behind one that waits (a message for the previews of its
    // objects, a navigation for the page's address) the session's later events wait too.
    struct Held {
        quint64 ticket = 0;
        ConnectionEvents::Event event{}; // a message's entry reads as it would without the previews
        QJsonObject message{};           // the message, the previews set into it as they come
        int outstanding = 0;             // answers still awaited
        bool answered = false;           // an answer came that changes the event
        std::vector<qint64> requests{};
    };
    std::deque<Held> held;
    quint64 nextTicket = 1;
    // While the answer to "Console.enable" is awaited, the messages that come are the page's replay.
    std::optional<qint64> consoleEnable;
    QUuid replay; // names that replay
};
