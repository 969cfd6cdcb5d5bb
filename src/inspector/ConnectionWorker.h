#pragma once

#include "inspector/ConsoleEntry.h"
#include "inspector/ConnectionEvents.h"
#include "wire/FrameInbox.h"
#include "inspector/InspectorApp.h"
#include "inspector/InspectorPage.h"
#include "inspector/InspectorTiming.h"
#include "inspector/PageKey.h"
#include "wire/WIRSocket.h"
#include "inspector/WebInspectorConnection.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include <simdjson.h>

class QTimer;

// The state of one inspector connection, confined to the connection's queue (the thread this
// object lives on). See WebInspectorConnection for the public face.
class ConnectionWorker : public QObject {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;
    using ResponseHandler = WebInspectorConnection::ResponseHandler;

    struct Pending {
        ResponseHandler handler;
        QString label;
        Clock::time_point deadline;
        // Answered with the not-attached error when its session ends first; otherwise dropped then.
        bool endsWithSession = false;
    };

    // One open inspector session on a page.
    struct Session {
        quint64 serial = 0; // tells a session apart from a later one on the same page
        QString senderID;
        Clock::time_point attachedAt;
        QStringList pageTargets;
        // nullopt: not enabled yet; empty: enabled on the page itself; else the target id.
        std::optional<QString> enabledTarget;
        qint64 nextID = 1;
        std::map<qint64, Pending> pending;
    };

    using AppsEvent = ConnectionEvents::Apps;
    using PagesEvent = ConnectionEvents::Pages;
    using ClearedEvent = ConnectionEvents::Cleared;
    using RepeatEvent = ConnectionEvents::Repeat;
    using Event = ConnectionEvents::Event;
    using Batch = ConnectionEvents::Batch;

    // The partial-message pieces of all senders together may not exceed this.
    static constexpr qsizetype kMaxPartialBytes = 64 * 1024 * 1024;

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
    void evaluate(const QString& expression, const PageKey& page);

    // Exposed to the connection's own operations.
    void handle(const QString& selector, const QVariantMap& argument);
    void teardown();
    // The owner is going away: stop the poll, close the socket, and never call the owner again.
    void detach();

    // Hands an event to the owner's thread, after the ones before it.
    void post(Event event);

signals:
    // A frame arrived in the inbox (emitted on the read thread).
    void framesPending();
    // Batches wait for the owner (emitted on the queue).
    void deliveriesPending();

private:
    // Applications and pages.
    void reportedApplications(const QVariantMap& argument);
    void appConnected(const QString& appID, const QVariantMap& argument);
    void appDisconnected(const QString& appID);
    bool record(const QString& appID, const QVariantMap& dictionary);
    void listing(const QString& appID, const QVariantMap& argument);
    std::optional<PageKey> pageKey(const QVariantMap& argument) const;
    void publishApps();
    void publish();
    void sendGetListing(const QString& appID);

    // Sessions.
    void attach(const PageKey& key);
    void enableDomains(const PageKey& key, Session& session);
    void syncDomains(const PageKey& key, Session& session);
    qint64 send(QJsonObject message, const PageKey& key, Session& session);
    void run(const QString& expression, const PageKey& key, Session& session);
    void deliverEvaluation(simdjson::dom::element answer, const PageKey& key);
    void reattach(const PageKey& key);
    void close(const PageKey& key, Session& session);
    void sendDidClose(const PageKey& key, const QString& senderID);
    void receivedData(const QVariantMap& argument);
    void dispatch(simdjson::dom::element message, const PageKey& key, Session& session, int depth);
    void report(const PageKey& key, const QString& text, ConsoleLevel level);
    void answered(const PageKey& key);
    Session* sessionFor(const PageKey& key);
    void dropSession(const PageKey& key);

    // Housekeeping.
    void poll();
    void expireRequests();
    void reviveStaleSessions();
    // `endRequests`: end the requests still out in each session, as abandon() does.
    void releaseSessions(bool endRequests = true);
    // A session that ended while the connection goes on: its page will never answer the requests
    // still out in it. Those whose callers wait for an answer (evaluations, whose one result entry
    // each must come, and snapshots) are answered with the not-attached error; the rest are dropped.
    void abandon(Session& session);
    void attachUnclaimedPages();

    void flush();
    QVariantMap base() const;
    QVariantMap pageArgument(const PageKey& key) const;

    WebInspectorConnection* const m_owner;
    const QString m_deviceID;
    const QString m_connectionID;
    const std::shared_ptr<FrameInbox> m_inbox;
    const InspectorTiming m_timing;

    std::shared_ptr<WIRSocket> m_socket;
    QHash<QString, InspectorApp> m_apps;
    QHash<PageKey, InspectorPage> m_pages;
    std::unordered_map<PageKey, std::unique_ptr<Session>> m_sessions;
    QHash<QString, PageKey> m_sessionPages;
    QHash<QString, QByteArray> m_partials;
    qsizetype m_partialBytes = 0;
    QHash<PageKey, QStringList> m_queued;
    QSet<PageKey> m_unresponsive;
    QTimer* m_resync = nullptr;
    bool m_capturing = true;
    bool m_tornDown = false;
    bool m_detached = false;
    std::promise<void>* m_deleteDone = nullptr;
    quint64 m_nextSerial = 1;

    // One parser per nesting level of wrapped target messages, with a padded input buffer.
    struct Parser {
        simdjson::dom::parser parser;
        std::vector<char> buffer;
    };
    std::vector<std::unique_ptr<Parser>> m_parsers;
    std::optional<simdjson::dom::element> parseMessage(int depth, std::string_view json);

    Batch m_outbox;
    int m_outboxEntries = 0;
    bool m_flushScheduled = false;
};
