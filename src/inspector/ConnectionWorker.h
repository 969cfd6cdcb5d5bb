#pragma once

#include "inspector/ConnectionEvents.h"
#include "inspector/ConnectionHousekeeping.h"
#include "inspector/Evaluations.h"
#include "inspector/InspectorTiming.h"
#include "inspector/PageKey.h"
#include "inspector/PageSessions.h"
#include "inspector/PartialMessages.h"
#include "inspector/ServiceInventory.h"
#include "inspector/ServiceLink.h"
#include "inspector/WebInspectorConnection.h"
#include "wire/FrameInbox.h"
#include "wire/WIRSocket.h"

#include <QJsonObject>
#include <QObject>

#include <future>
#include <memory>

// The state of one inspector connection, confined to the connection's queue (the thread this
// object lives on). See WebInspectorConnection for the public face. It composes the inventory
// (applications and pages), the page sessions with their requests, the evaluations and the
// housekeeping on the poll, and hands what they produce to the owner's thread in batches.
//
// How things end, in one word each:
// - a session is *ended* when we close it and tell the device (a page left the listing, capture
//   was switched off, the session is revived), and *lost* when there is nothing to tell (the
//   application went away, another client claimed the page, the session was replaced);
// - its requests still out are then *abandoned*: those whose callers wait are answered with the
//   not-attached error, the rest dropped;
// - the owner *stops* the link: every session is ended (its requests abandoned), the socket shut;
// - the link is *closed* once the socket is (by either side): everything is cleared, requests whose
//   callers wait are answered, the empty lists are published, then onClose is called;
// - the worker is *detached* when the owner is going away: it never calls the owner again.
class ConnectionWorker : public QObject {
    Q_OBJECT

public:
    using ResponseHandler = WebInspectorConnection::ResponseHandler;
    using Event = ConnectionEvents::Event;
    using Batch = ConnectionEvents::Batch;

    ConnectionWorker(WebInspectorConnection* owner, QString deviceID, QString connectionID,
                     std::shared_ptr<FrameInbox> inbox, const InspectorTiming& timing);
    ~ConnectionWorker() override;

    // Runs the tasks the owner scheduled; deletes this worker afterwards when asked to.
    void runTasks();
    void deleteAfterTasks(std::promise<void>* done) { m_deleteDone = done; }

    // All of these run on the queue.
    void begin(std::shared_ptr<WIRSocket> socket);
    void drain();
    void setCapturing(bool on);
    void stop();
    void indicate(const PageKey& page, bool enabled);
    // False when the page has no session: nothing was sent and the handler is dropped.
    bool request(const QString& method, const QJsonObject& params, const PageKey& page,
                 ResponseHandler handler, bool endsWithSession = false);
    void evaluate(const QString& expression, const PageKey& page, const QUuid& evaluation, bool awaitPromise);
    void detach();

    // Hands an event to the owner's thread, after the ones before it.
    void post(Event event);

signals:
    // A frame arrived in the inbox (emitted on the read thread).
    void framesPending();
    // Batches wait for the owner (emitted on the queue).
    void deliveriesPending();

private:
    void handle(const QString& selector, const QVariantMap& argument);
    void reportedApplications(const QVariantMap& argument);
    void appConnected(const QString& appID, const QVariantMap& argument);
    void appDisconnected(const QString& appID);
    void listing(const QString& appID, const QVariantMap& argument);
    void sendGetListing(const QString& appID);
    void close();
    void flush();

    WebInspectorConnection* const m_owner;
    const std::shared_ptr<FrameInbox> m_inbox;
    ServiceLink m_link;
    ServiceInventory m_inventory;
    PageSessions m_sessions;
    Evaluations m_evaluations;
    ConnectionHousekeeping m_housekeeping;
    PartialMessages m_partials;

    bool m_closed = false;
    bool m_detached = false;
    std::promise<void>* m_deleteDone = nullptr;

    Batch m_outbox;
    int m_outboxEntries = 0;
    bool m_flushScheduled = false;
};
