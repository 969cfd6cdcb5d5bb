#include "inspector/PageSessions.h"

#include "base/Logging.h"
#include "base/Uuid.h"
#include "inspector/ServiceInventory.h"
#include "inspector/ServiceLink.h"
#include "inspector/SessionJson.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTimer>

#include <algorithm>

namespace {

const QString kAnsweringAgain = QStringLiteral("The page is answering again.");

// Target messages wrapped deeper than this are not read.
constexpr int kMaxWrapDepth = 8;

} // namespace

PageSessions::PageSessions(QObject& context, ServiceLink& link, ServiceInventory& inventory,
                           const InspectorTiming& timing, Post post)
    : m_context(context), m_link(link), m_inventory(inventory), m_timing(timing), m_post(std::move(post)),
      m_console(context, *this, timing, m_post) {}

PageSessions::~PageSessions() = default;

void PageSessions::setCapturing(bool on) {
    m_capturing = on;
    if (on)
        attachFreePages();
    else
        endAll();
}

PageSession* PageSessions::find(const PageKey& key) {
    const auto it = m_sessions.find(key);
    return it == m_sessions.end() ? nullptr : it->second.get();
}

std::vector<PageKey> PageSessions::pages() const {
    std::vector<PageKey> keys;
    keys.reserve(m_sessions.size());
    for (const auto& [key, session] : m_sessions)
        keys.push_back(key);
    return keys;
}

// ---- Attaching and ending --------------------------------------------------------------------

void PageSessions::attach(const PageKey& key) {
    auto session = std::make_unique<PageSession>();
    session->serial = m_nextSerial++;
    session->senderID = Uuid::text(Uuid::create());
    session->attachedAt = PageSession::Clock::now();
    const quint64 serial = session->serial;
    const QString sender = session->senderID;
    // A replaced session's sender must no longer find the page.
    lose(key);
    m_sessions.emplace(key, std::move(session));
    m_sessionPages.insert(sender, key);

    QVariantMap argument = m_link.pageArgument(key);
    argument.insert(ServiceLink::kSenderKey, sender);
    argument.insert(QStringLiteral("WIRAutomaticallyPause"), false);
    m_link.send(QStringLiteral("_rpc_forwardSocketSetup:"), argument);

    // A page that announces no target by then is enabled directly.
    QTimer::singleShot(m_timing.enableFallback, &m_context, [this, key, serial] {
        PageSession* session = find(key);
        if (!session || session->serial != serial || session->enabledTarget ||
            !session->pageTargets.isEmpty())
            return;
        session->enabledTarget = QString();
        enableDomains(key, *session);
    });
}

void PageSessions::attachFreePages() {
    for (const PageKey& key : m_inventory.freePages())
        if (!has(key))
            attach(key);
}

void PageSessions::reattach(const PageKey& key) {
    end(key);
    if (m_capturing && m_inventory.isFree(key))
        attach(key);
}

std::unique_ptr<PageSession> PageSessions::take(const PageKey& key) {
    const auto it = m_sessions.find(key);
    if (it == m_sessions.end())
        return nullptr;
    std::unique_ptr<PageSession> session = std::move(it->second);
    m_sessions.erase(it);
    m_sessionPages.remove(session->senderID);
    if (onEnded)
        onEnded(session->senderID);
    m_console.release(*session);
    return session;
}

void PageSessions::end(const PageKey& key) {
    if (std::unique_ptr<PageSession> session = take(key)) {
        sendDidClose(key, session->senderID);
        abandon(*session);
    }
}

void PageSessions::lose(const PageKey& key) {
    if (std::unique_ptr<PageSession> session = take(key))
        abandon(*session);
}

void PageSessions::endAll() {
    for (const auto& [key, session] : m_sessions) {
        sendDidClose(key, session->senderID);
        if (onEnded)
            onEnded(session->senderID);
        m_console.release(*session);
        abandon(*session);
    }
    m_sessions.clear();
    m_sessionPages.clear();
}

void PageSessions::clear() {
    for (const auto& [key, session] : m_sessions) {
        m_console.release(*session);
        abandon(*session);
    }
    m_sessions.clear();
    m_sessionPages.clear();
    // Nothing more comes from the queue's next turn: the callers hear of the end now.
    answer(std::exchange(m_unanswered, {}));
}

void PageSessions::sendDidClose(const PageKey& key, const QString& senderID) {
    QVariantMap argument = m_link.pageArgument(key);
    argument.insert(ServiceLink::kSenderKey, senderID);
    m_link.send(QStringLiteral("_rpc_forwardDidClose:"), argument);
}

// The page will never answer the requests still out in an ended session. Those whose callers wait
// for an answer (evaluations, whose one result entry each must come, and snapshots) are answered
// with the not-attached error; the rest are dropped.
void PageSessions::abandon(PageSession& session) {
    std::vector<ResponseHandler> handlers;
    for (auto& [id, pending] : session.pending)
        if (pending.endsWithSession && pending.handler)
            handlers.push_back(std::move(pending.handler));
    session.pending.clear();
    answerLater(std::move(handlers));
}

// A target that went answers nothing sent through it: those requests end now, every one with its
// failure, rather than past their deadline as if the page had stopped answering.
void PageSessions::abandonTarget(PageSession& session, const QString& target) {
    std::vector<ResponseHandler> handlers;
    for (auto it = session.pending.begin(); it != session.pending.end();) {
        if (it->second.target != target) {
            ++it;
            continue;
        }
        if (it->second.handler)
            handlers.push_back(std::move(it->second.handler));
        it = session.pending.erase(it);
    }
    if (!handlers.empty())
        qCWarning(lcInspector) << handlers.size() << "requests ended with their target" << target;
    answerLater(std::move(handlers));
}

// On the next turn of the queue, so that no handler runs in the middle of changing sessions.
void PageSessions::answerLater(std::vector<ResponseHandler> handlers) {
    if (handlers.empty())
        return;
    const bool scheduled = !m_unanswered.empty();
    std::move(handlers.begin(), handlers.end(), std::back_inserter(m_unanswered));
    if (!scheduled)
        QMetaObject::invokeMethod(
            &m_context, [this] { answer(std::exchange(m_unanswered, {})); }, Qt::QueuedConnection);
}

void PageSessions::answer(const std::vector<ResponseHandler>& handlers) const {
    if (handlers.empty())
        return;
    simdjson::dom::parser parser;
    const auto failure = SessionJson::error(parser, kNotAttached);
    if (!failure)
        return;
    for (const ResponseHandler& handler : handlers)
        handler(*failure);
}

// ---- Enabling and sending --------------------------------------------------------------------

void PageSessions::enableDomains(const PageKey& key, PageSession& session) {
    for (const char* method :
         {"Inspector.enable", "Console.enable", "Runtime.enable", "Inspector.initialized"}) {
        const qint64 id =
            send(QJsonObject{{"method", QLatin1String(method)}, {"params", QJsonObject()}}, key, session);
        // The page replays the messages it kept before it answers this one.
        if (std::strcmp(method, "Console.enable") == 0) {
            session.consoleEnable = id;
            session.replay = Uuid::create();
        }
    }
    if (onEnabled)
        onEnabled(key);
}

// Enables the session on its newest page target, once.
void PageSessions::syncDomains(const PageKey& key, PageSession& session) {
    if (session.pageTargets.isEmpty() || session.enabledTarget == session.pageTargets.last())
        return;
    session.enabledTarget = session.pageTargets.last();
    enableDomains(key, session);
}

qint64 PageSessions::send(QJsonObject message, const PageKey& key, PageSession& session) {
    const qint64 id = session.nextID++;
    message.insert(QStringLiteral("id"), id);
    QJsonObject outgoing = std::move(message);
    // A page with targets is reached through its newest one; the wrapper takes the next id.
    if (!session.pageTargets.isEmpty()) {
        const QByteArray inner = QJsonDocument(outgoing).toJson(QJsonDocument::Compact);
        outgoing = QJsonObject{{"id", session.nextID++},
                               {"method", QStringLiteral("Target.sendMessageToTarget")},
                               {"params", QJsonObject{{"targetId", session.pageTargets.last()},
                                                      {"message", QString::fromUtf8(inner)}}}};
    }
    QVariantMap argument = m_link.pageArgument(key);
    argument.insert(ServiceLink::kSenderKey, session.senderID);
    argument.insert(ServiceLink::kSocketDataKey, QJsonDocument(outgoing).toJson(QJsonDocument::Compact));
    m_link.send(QStringLiteral("_rpc_forwardSocketData:"), argument);
    return id;
}

bool PageSessions::request(const QString& method, const QJsonObject& params, const PageKey& key,
                           ResponseHandler handler, bool endsWithSession) {
    PageSession* session = find(key);
    if (!session) {
        qCDebug(lcInspector) << "no session for" << method;
        return false;
    }
    request(*session, key, method, params, std::move(handler), method, endsWithSession);
    return true;
}

qint64 PageSessions::request(PageSession& session, const PageKey& key, const QString& method,
                             const QJsonObject& params, ResponseHandler handler, const QString& label,
                             bool endsWithSession) {
    const QString target = session.pageTargets.isEmpty() ? QString() : session.pageTargets.last();
    const qint64 id = send(QJsonObject{{"method", method}, {"params", params}}, key, session);
    session.pending[id] =
        PageSession::Pending{std::move(handler), label, PageSession::Clock::now() + m_timing.requestDeadline,
                             endsWithSession, target};
    return id;
}

// ---- Inbound ---------------------------------------------------------------------------------

std::optional<PageKey> PageSessions::pageFor(const QVariantMap& argument) const {
    if (const auto destination = ServiceLink::string(argument, ServiceLink::kDestinationKey)) {
        const auto it = m_sessionPages.constFind(*destination);
        if (it == m_sessionPages.cend())
            return std::nullopt;
        return *it;
    }
    const auto appID = ServiceLink::string(argument, ServiceLink::kApplicationKey);
    const auto pageID = ServiceLink::number(argument, ServiceLink::kPageKey);
    if (!appID || !pageID)
        return std::nullopt;
    return PageKey{m_link.deviceID(), *appID, *pageID};
}

void PageSessions::receive(const QVariantMap& argument) {
    const std::optional<QByteArray> data = ServiceLink::data(argument, ServiceLink::kMessageDataKey);
    if (!data)
        return;
    const std::optional<PageKey> key = pageFor(argument);
    PageSession* session = key ? find(*key) : nullptr;
    if (!session) {
        qCWarning(lcInspector) << "dropped a message for a page without a session";
        return;
    }
    if (const auto root = m_parsers.parseInbound(std::string_view(data->constData(), size_t(data->size()))))
        dispatch(root->element, *key, *session, root->depth);
}

void PageSessions::answered(const PageKey& key) {
    if (!m_inventory.markAnswering(key))
        return;
    m_post(m_inventory.pages());
    report(key, kAnsweringAgain, ConsoleLevel::log);
}

void PageSessions::dispatch(simdjson::dom::element element, const PageKey& key, PageSession& session,
                            int depth) {
    using SessionJson::string;
    simdjson::dom::object message;
    if (element.get_object().get(message) != simdjson::SUCCESS)
        return;
    // A response to one of our requests.
    if (simdjson::dom::element idValue; message["id"].get(idValue) == simdjson::SUCCESS) {
        const std::optional<qint64> id = SessionJson::integer(idValue);
        if (id && id == session.consoleEnable)
            session.consoleEnable.reset(); // the replay is over
        const auto pending = id ? session.pending.find(*id) : session.pending.end();
        if (pending != session.pending.end()) {
            ResponseHandler handler = std::move(pending->second.handler);
            session.pending.erase(pending);
            answered(key);
            if (handler)
                handler(element); // may end the session: nothing of it is used after this
            return;
        }
    }

    const std::optional<std::string_view> method = string(message, "method");
    if (!method)
        return;
    qCDebug(lcInspector) << "page message" << SessionJson::text(*method);
    simdjson::dom::object params;
    const bool hasParams = message["params"].get_object().get(params) == simdjson::SUCCESS;

    if (*method == "Target.targetCreated") {
        simdjson::dom::object info;
        if (!hasParams || params["targetInfo"].get_object().get(info) != simdjson::SUCCESS)
            return;
        const auto type = string(info, "type");
        const auto target = string(info, "targetId");
        if (!type || *type != "page" || !target)
            return;
        const QString id = SessionJson::text(*target);
        if (!session.pageTargets.contains(id))
            session.pageTargets.append(id);
        syncDomains(key, session);
    } else if (*method == "Target.didCommitProvisionalTarget") {
        const auto next = hasParams ? string(params, "newTargetId") : std::nullopt;
        if (!next)
            return;
        if (const auto previous = string(params, "previousTargetId")) {
            session.pageTargets.removeAll(SessionJson::text(*previous));
            abandonTarget(session, SessionJson::text(*previous));
        }
        const QString id = SessionJson::text(*next);
        if (!session.pageTargets.contains(id))
            session.pageTargets.append(id);
        session.enabledTarget.reset();
        syncDomains(key, session);
    } else if (*method == "Target.targetDestroyed") {
        const auto target = hasParams ? string(params, "targetId") : std::nullopt;
        if (!target)
            return;
        const QString id = SessionJson::text(*target);
        session.pageTargets.removeAll(id);
        abandonTarget(session, id);
        if (session.enabledTarget == id)
            session.enabledTarget.reset();
        syncDomains(key, session);
    } else if (*method == "Target.dispatchMessageFromTarget") {
        const auto inner = hasParams ? string(params, "message") : std::nullopt;
        if (!inner || depth + 1 >= kMaxWrapDepth)
            return;
        if (const auto root = m_parsers.parse(depth + 1, *inner))
            dispatch(*root, key, session, depth + 1);
    } else if (*method == "Console.messageAdded") {
        answered(key);
        simdjson::dom::object consoleMessage;
        if (!hasParams || params["message"].get_object().get(consoleMessage) != simdjson::SUCCESS)
            return;
        m_console.message(consoleMessage, key, session);
    } else if (*method == "Console.messageRepeatCountUpdated") {
        // A missing "count" must not reach integer(): converting the failed lookup throws.
        std::optional<qint64> count;
        if (simdjson::dom::element value; hasParams && params["count"].get(value) == simdjson::SUCCESS)
            count = SessionJson::integer(value);
        m_console.publish(ConnectionEvents::Repeat{key, count.value_or(1)}, session);
    } else if (*method == "Console.messagesCleared") {
        m_console.cleared(hasParams ? string(params, "reason") : std::nullopt, key, session);
    }
}

void PageSessions::report(const PageKey& key, const QString& text, ConsoleLevel level) {
    ConsoleEntry entry;
    entry.page = key;
    entry.level = level;
    entry.source = ConsoleEntry::kNoticeSource.toString();
    entry.text = text;
    entry.receivedAt = QDateTime::currentDateTimeUtc();
    m_post(std::move(entry));
}
