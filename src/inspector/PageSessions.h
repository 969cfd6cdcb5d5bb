#pragma once

#include "inspector/ConnectionEvents.h"
#include "inspector/ConsoleIntake.h"
#include "inspector/ConsoleLevel.h"
#include "inspector/InspectorTiming.h"
#include "inspector/MessageParsers.h"
#include "inspector/PageKey.h"
#include "inspector/PageSession.h"

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include <simdjson.h>

class ServiceInventory;
class QObject;
class ServiceLink;

// The inspector sessions on pages: opening and enabling them, the requests sent into them and their
// answers, and the messages pages send. Used on the connection's queue only; `context` (the worker)
// carries its timers and deferred calls.
//
// A session is attached (opened), and ends in one of two ways: it is *ended* (we close it and tell
// the device) or *lost* (the page went away or another client took it: nothing to tell). Either way
// its requests still out are *abandoned*. Requests sent through a target that a navigation committed
// away, or that was destroyed, are answered with the not-attached error at once.
class PageSessions {
public:
    using Post = std::function<void(ConnectionEvents::Event)>;
    using ResponseHandler = WebInspectorConnection::ResponseHandler;

    static inline const QString kNotAttached =
        QStringLiteral("This webview is not attached. It may have navigated or closed.");

    PageSessions(QObject& context, ServiceLink& link, ServiceInventory& inventory,
                 const InspectorTiming& timing, Post post);
    ~PageSessions();

    // Called when a session has been enabled, on the page or on a new target of it.
    std::function<void(const PageKey&)> onEnabled;
    // Called with the sender of every session that ends or is lost (not when the link closes).
    std::function<void(const QString& sender)> onEnded;

    // Whether pages get sessions; off ends every session.
    bool capturing() const { return m_capturing; }
    void setCapturing(bool on);

    PageSession* find(const PageKey& key);
    bool has(const PageKey& key) const { return m_sessions.contains(key); }
    std::vector<PageKey> pages() const;

    // Opens a session on a page, replacing (losing) any it had.
    void attach(const PageKey& key);
    // Ends the page's session if it has one, and attaches again when capturing and the page is free.
    void reattach(const PageKey& key);
    void end(const PageKey& key);
    void lose(const PageKey& key);
    // Attaches every free page that has no session.
    void attachFreePages();
    // Ends every session, answering the requests whose callers wait.
    void endAll();
    // The link is closed: every session is forgotten, the requests whose callers wait answered.
    void clear();

    // False when the page has no session: nothing was sent and the handler is dropped.
    bool request(const QString& method, const QJsonObject& params, const PageKey& key,
                 ResponseHandler handler, bool endsWithSession);
    // Sends a request into `session`; `label` names it should it time out. Returns its id.
    qint64 request(PageSession& session, const PageKey& key, const QString& method, const QJsonObject& params,
                   ResponseHandler handler, const QString& label, bool endsWithSession);

    // Data the service forwarded from a page.
    void receive(const QVariantMap& argument);
    // An entry the connection writes itself.
    void report(const PageKey& key, const QString& text, ConsoleLevel level);

private:
    std::optional<PageKey> pageFor(const QVariantMap& argument) const;
    void enableDomains(const PageKey& key, PageSession& session);
    void syncDomains(const PageKey& key, PageSession& session);
    qint64 send(QJsonObject message, const PageKey& key, PageSession& session);
    void sendDidClose(const PageKey& key, const QString& senderID);
    std::unique_ptr<PageSession> take(const PageKey& key);
    void abandon(PageSession& session);
    void abandonTarget(PageSession& session, const QString& target);
    void answerLater(std::vector<ResponseHandler> handlers);
    void answer(const std::vector<ResponseHandler>& handlers) const;
    void answered(const PageKey& key);
    void dispatch(simdjson::dom::element message, const PageKey& key, PageSession& session, int depth);

    QObject& m_context;
    ServiceLink& m_link;
    ServiceInventory& m_inventory;
    const InspectorTiming m_timing;
    const Post m_post;

    std::unordered_map<PageKey, std::unique_ptr<PageSession>> m_sessions;
    QHash<QString, PageKey> m_sessionPages; // by sender
    quint64 m_nextSerial = 1;
    bool m_capturing = true;
    std::vector<ResponseHandler> m_unanswered; // abandoned, answered on the next turn of the queue
    ConsoleIntake m_console;

    MessageParsers m_parsers;
};
