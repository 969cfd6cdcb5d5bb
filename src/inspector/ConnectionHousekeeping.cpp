#include "inspector/ConnectionHousekeeping.h"

#include "base/Logging.h"
#include "inspector/ServiceInventory.h"
#include "inspector/PageSessions.h"
#include "inspector/ServiceLink.h"
#include "inspector/SessionJson.h"

#include <QTimer>

namespace {

const QString kStoppedAnswering = QStringLiteral("This page has stopped answering. Its main thread is busy "
                                                 "\u2014 script that never returns will do it \u2014 "
                                                 "and nothing sent over the inspector can reach it until "
                                                 "that finishes. Reload the webview to get it back.");

} // namespace

ConnectionHousekeeping::ConnectionHousekeeping(ServiceLink& link, ServiceInventory& inventory,
                                               PageSessions& sessions, const InspectorTiming& timing,
                                               Post post)
    : m_link(link), m_inventory(inventory), m_sessions(sessions), m_timing(timing), m_post(std::move(post)) {}

ConnectionHousekeeping::~ConnectionHousekeeping() = default;

void ConnectionHousekeeping::start(QObject& context) {
    m_poll = std::make_unique<QTimer>();
    m_poll->setTimerType(Qt::CoarseTimer);
    m_poll->setInterval(m_timing.poll);
    QObject::connect(m_poll.get(), &QTimer::timeout, &context, [this] { poll(); });
    m_poll->start();
}

void ConnectionHousekeeping::stop() {
    m_poll.reset();
}

void ConnectionHousekeeping::poll() {
    m_link.send(QStringLiteral("_rpc_getConnectedApplications:"), m_link.base());
    reviveStaleSessions();
    expireRequests();
}

void ConnectionHousekeeping::expireRequests() {
    const PageSession::Clock::time_point now = PageSession::Clock::now();
    for (const PageKey& key : m_sessions.pages()) {
        // A handler below may have ended this session.
        PageSession* session = m_sessions.find(key);
        if (!session)
            continue;
        std::vector<PageSession::Pending> expired;
        for (auto it = session->pending.begin(); it != session->pending.end();) {
            if (it->second.deadline < now) {
                expired.push_back(std::move(it->second));
                it = session->pending.erase(it);
            } else {
                ++it;
            }
        }
        if (expired.empty())
            continue;
        for (PageSession::Pending& pending : expired) {
            qCWarning(lcInspector) << "no answer in time to" << pending.label;
            simdjson::dom::parser parser;
            const auto answer =
                SessionJson::error(parser, QStringLiteral("The page stopped answering, so ") + pending.label +
                                               QStringLiteral(" never came back."));
            if (pending.handler && answer)
                pending.handler(*answer);
        }
        // One warning per episode: until the page answers again.
        if (m_inventory.markUnresponsive(key)) {
            m_post(m_inventory.pages());
            m_sessions.report(key, kStoppedAnswering, ConsoleLevel::warning);
        }
    }
}

void ConnectionHousekeeping::reviveStaleSessions() {
    if (!m_sessions.capturing())
        return;
    const PageSession::Clock::time_point now = PageSession::Clock::now();
    std::vector<PageKey> stale;
    for (const PageKey& key : m_sessions.pages())
        if (const PageSession* session = m_sessions.find(key);
            !session->enabledTarget && now - session->attachedAt > m_timing.revival)
            stale.push_back(key);
    for (const PageKey& key : stale)
        m_sessions.reattach(key);
    m_sessions.attachFreePages();
}
