#pragma once

#include "inspector/ConnectionEvents.h"
#include "inspector/InspectorTiming.h"
#include "inspector/PageKey.h"
#include "inspector/PageSession.h"

#include <QString>

#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <simdjson.h>

class PageSessions;
class QObject;

// The console events of the page sessions on their way to the owner.
//
// A page replays the messages it kept to every session that enables its console, and sends them
// without the previews of their objects, which would read "Object". Such a message waits for
// "Runtime.getPreview" of each object, asked at once (a replay of a hundred messages sends its
// requests together), and is formatted as if the previews had come with it. A navigation, while
// messages are kept across loads, waits for the page's new address. Whatever waits holds back the
// session's later events, so they go out in the order they came; nothing waits longer than
// InspectorTiming::previewWait, and a page that does not answer is not taken as unresponsive for it.
// Runs on the connection's queue.
class ConsoleIntake {
public:
    using Post = std::function<void(ConnectionEvents::Event)>;

    ConsoleIntake(QObject& context, PageSessions& sessions, const InspectorTiming& timing, Post post);

    // The "message" of a "Console.messageAdded" event.
    void message(simdjson::dom::object message, const PageKey& key, PageSession& session);
    // "Console.messagesCleared", with the reason the page gave.
    void cleared(std::optional<std::string_view> reason, const PageKey& key, PageSession& session);
    // Any other console event of the session.
    void publish(ConnectionEvents::Event event, PageSession& session);
    // The session ends: what it holds goes out as it is known.
    void release(PageSession& session);

private:
    using Apply = std::function<void(PageSession::Held&)>;

    void hold(const PageKey& key, PageSession& session, PageSession::Held held);
    // The held message `ticket` of the session still open under `serial`, while it waits for answers.
    std::pair<PageSession*, PageSession::Held*> waiting(const PageKey& key, quint64 serial, quint64 ticket);
    void settle(const PageKey& key, quint64 serial, quint64 ticket, const Apply& apply);
    void expire(const PageKey& key, quint64 serial, quint64 ticket);
    void drain(PageSession& session);
    static void finish(PageSession::Held& held);

    QObject& m_context;
    PageSessions& m_sessions;
    const InspectorTiming m_timing;
    const Post m_post;
};
