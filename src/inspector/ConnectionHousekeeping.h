#pragma once

#include "inspector/ConnectionEvents.h"
#include "inspector/InspectorTiming.h"

#include <functional>
#include <memory>

class ServiceInventory;
class PageSessions;
class QObject;
class QTimer;
class ServiceLink;

// What the connection does on its poll: asks for the applications again, revives sessions that never
// got enabled, gives up requests past their deadline (reporting the page as not answering), and
// attaches pages that have no session.
class ConnectionHousekeeping {
public:
    using Post = std::function<void(ConnectionEvents::Event)>;

    ConnectionHousekeeping(ServiceLink& link, ServiceInventory& inventory, PageSessions& sessions,
                           const InspectorTiming& timing, Post post);
    ~ConnectionHousekeeping();

    // Starts the poll, its timer living on the calling thread with `context`.
    void start(QObject& context);
    void stop();

private:
    void poll();
    void expireRequests();
    void reviveStaleSessions();

    ServiceLink& m_link;
    ServiceInventory& m_inventory;
    PageSessions& m_sessions;
    const InspectorTiming m_timing;
    const Post m_post;
    std::unique_ptr<QTimer> m_poll;
};
