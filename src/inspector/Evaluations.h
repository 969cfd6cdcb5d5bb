#pragma once

#include "inspector/ConnectionEvents.h"
#include "inspector/InspectorTiming.h"
#include "inspector/PageKey.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>

#include <functional>

#include <simdjson.h>

class PageSessions;
struct PageSession;
class QObject;

// JavaScript run in pages from the console input. Each expression gives exactly one result entry,
// which names the evaluation it answers: the page's answer, or an error when it never comes back or
// the page never gets a session.
class Evaluations {
public:
    using Post = std::function<void(ConnectionEvents::Event)>;

    Evaluations(QObject& context, PageSessions& sessions, const InspectorTiming& timing, Post post);

    // With `awaitPromise`, a value that is a promise is waited for: the result entry is what it
    // settles to (a rejection as an error), within the same request time limit.
    void evaluate(const QString& expression, const PageKey& key, const QUuid& evaluation,
                  bool awaitPromise = false);
    // Runs the expressions that waited for the page's session to be enabled.
    void runQueued(const PageKey& key);
    void clear() { m_queued.clear(); }

private:
    struct Queued {
        QString expression;
        QUuid evaluation;
        quint64 serial; // tells equal expressions apart
        bool awaitPromise = false;
    };

    void run(const Queued& queued, const PageKey& key, PageSession& session);
    void awaitSettled(const QString& promise, const PageKey& key, const QUuid& evaluation);
    void deliver(simdjson::dom::element answer, const PageKey& key, const QUuid& evaluation);

    QObject& m_context;
    PageSessions& m_sessions;
    const InspectorTiming m_timing;
    const Post m_post;
    QHash<PageKey, QList<Queued>> m_queued;
    quint64 m_nextSerial = 1;
};
