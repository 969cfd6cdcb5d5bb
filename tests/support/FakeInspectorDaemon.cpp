#include "support/FakeInspectorDaemon.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>

namespace {

const QString kConnectionKey = QStringLiteral("WIRConnectionIdentifierKey");
const QString kApplicationKey = QStringLiteral("WIRApplicationIdentifierKey");
const QString kPageKey = QStringLiteral("WIRPageIdentifierKey");
const QString kSenderKey = QStringLiteral("WIRSenderKey");
const QString kDestinationKey = QStringLiteral("WIRDestinationKey");

bool isEnabling(const QString& method) {
    return method == QLatin1String("Inspector.enable") || method == QLatin1String("Console.enable") ||
           method == QLatin1String("Runtime.enable") || method == QLatin1String("Inspector.initialized") ||
           method == QLatin1String("Page.enable");
}

std::optional<qint64> integer(const QVariant& value) {
    switch (value.metaType().id()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return value.toLongLong();
    default:
        return std::nullopt;
    }
}

std::optional<qint64> jsonID(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    return qint64(value.toDouble());
}

} // namespace

FakeInspectorDaemon::Answer FakeInspectorDaemon::Answer::result(const QJsonObject& result) {
    return {Kind::result, {{"result", result}}};
}
FakeInspectorDaemon::Answer FakeInspectorDaemon::Answer::error(const QString& message) {
    return {Kind::error, {{"error", QJsonObject{{"message", message}, {"code", -32000}}}}};
}
FakeInspectorDaemon::Answer FakeInspectorDaemon::Answer::errorWithoutMessage() {
    return {Kind::error, {{"error", QJsonObject{{"code", -32000}}}}};
}
FakeInspectorDaemon::Answer FakeInspectorDaemon::Answer::silence() {
    return {Kind::silence, {}};
}

FakeInspectorDaemon::FakeInspectorDaemon(Outlet outlet) : FakeInspectorCatalog(std::move(outlet)) {}

FakeInspectorDaemon::~FakeInspectorDaemon() = default;

void FakeInspectorDaemon::setAnswerer(Answerer answerer) {
    std::lock_guard guard(m_lock);
    m_answerer = std::move(answerer);
}

void FakeInspectorDaemon::setAnswersLists(bool on) {
    std::lock_guard guard(m_lock);
    m_answersLists = on;
}

// ---- Frames from clients ---------------------------------------------------------------------

void FakeInspectorDaemon::receive(int peer, const QString& selector, const QVariantMap& argument) {
    Out out;
    {
        std::lock_guard guard(m_lock);
        if (const QVariant connection = argument.value(kConnectionKey);
            connection.typeId() == QMetaType::QString)
            m_peers[peer] = connection.toString();
        if (selector == QLatin1String("_rpc_getConnectedApplications:")) {
            if (m_answersLists)
                out.push_back(
                    {peer, QStringLiteral("_rpc_reportConnectedApplicationList:"), applicationListLocked()});
        } else if (selector == QLatin1String("_rpc_forwardGetListing:")) {
            const auto it = m_apps.find(argument.value(kApplicationKey).toString());
            if (m_answersLists && it != m_apps.end())
                out.push_back(
                    {peer, QStringLiteral("_rpc_applicationSentListing:"), listingLocked(it->second)});
        } else if (selector == QLatin1String("_rpc_forwardSocketSetup:")) {
            setupLocked(out, peer, argument);
        } else if (selector == QLatin1String("_rpc_forwardDidClose:")) {
            closeLocked(argument);
        } else if (selector == QLatin1String("_rpc_forwardSocketData:")) {
            socketDataLocked(out, peer, argument);
        }
        m_changed.notify_all();
    }
    flush(out);
}

void FakeInspectorDaemon::peerGone(int peer) {
    std::lock_guard guard(m_lock);
    m_peers.erase(peer);
    for (Session& session : m_sessions)
        if (session.peer == peer)
            session.open = false;
    m_changed.notify_all();
}

void FakeInspectorDaemon::setupLocked(Out& out, int peer, const QVariantMap& argument) {
    Session session;
    session.peer = peer;
    session.connectionID = argument.value(kConnectionKey).toString();
    session.appID = argument.value(kApplicationKey).toString();
    session.pageID = integer(argument.value(kPageKey)).value_or(-1);
    session.sender = argument.value(kSenderKey).toString();
    session.automaticallyPause = argument.value(QStringLiteral("WIRAutomaticallyPause")).toBool();
    Page* page = pageLocked(session.appID, session.pageID);
    if (page && page->targets == Targets::atOnce) {
        if (page->target.isEmpty())
            page->target = QStringLiteral("page-%1").arg(m_nextTarget++);
        session.target = page->target;
    } else if (page && page->targets == Targets::later) {
        session.target = page->target; // announced earlier, if at all
    }
    m_sessions.push_back(session);
    if (!session.target.isEmpty()) {
        const QJsonObject created{
            {"method", "Target.targetCreated"},
            {"params",
             QJsonObject{{"targetInfo", QJsonObject{{"targetId", session.target}, {"type", "page"}}}}}};
        toSessionLocked(out, session, json(created), false, {});
    }
}

void FakeInspectorDaemon::closeLocked(const QVariantMap& argument) {
    const QString sender = argument.value(kSenderKey).toString();
    for (Session& session : m_sessions)
        if (session.sender == sender)
            session.open = false;
}

void FakeInspectorDaemon::socketDataLocked(Out& out, int peer, const QVariantMap& argument) {
    const QJsonObject outer =
        QJsonDocument::fromJson(argument.value(QStringLiteral("WIRSocketDataKey")).toByteArray()).object();
    Command command;
    command.peer = peer;
    command.connectionID = argument.value(kConnectionKey).toString();
    command.appID = argument.value(kApplicationKey).toString();
    command.pageID = integer(argument.value(kPageKey)).value_or(-1);
    command.sender = argument.value(kSenderKey).toString();
    QJsonObject inner = outer;
    if (outer.value("method").toString() == QLatin1String("Target.sendMessageToTarget")) {
        const QJsonObject params = outer.value("params").toObject();
        command.wrapperID = jsonID(outer.value("id"));
        command.targetID = params.value("targetId").toString();
        inner = QJsonDocument::fromJson(params.value("message").toString().toUtf8()).object();
    }
    command.id = jsonID(inner.value("id")).value_or(-1);
    command.method = inner.value("method").toString();
    command.params = inner.value("params").toObject();
    m_commands.push_back(command);

    // The service answers the wrapper itself, as the real one does.
    if (command.wrapperID) {
        Session* session = nullptr;
        for (Session& candidate : m_sessions)
            if (candidate.sender == command.sender && candidate.open)
                session = &candidate;
        if (session)
            toSessionLocked(out, *session, json({{"id", *command.wrapperID}, {"result", QJsonObject()}}),
                            false, {});
    }

    std::optional<Answer> answer;
    if (m_answerer) {
        // The answerer is the test's; it must not call back into the daemon.
        answer = m_answerer(command);
    }
    if (!answer)
        answer = isEnabling(command.method) ? Answer::result({}) : Answer::silence();
    answerLocked(out, command, *answer);

    if (command.method == QLatin1String("Console.enable")) {
        for (Session& session : m_sessions) {
            if (session.sender != command.sender || !session.open)
                continue;
            session.consoleEnabled = true;
            if (const Page* page = pageLocked(session.appID, session.pageID))
                for (const QJsonObject& message : page->backlog)
                    toSessionLocked(out, session,
                                    json({{"method", "Console.messageAdded"},
                                          {"params", QJsonObject{{"message", message}}}}),
                                    true, {});
        }
    }
}

void FakeInspectorDaemon::answerLocked(Out& out, const Command& command, const Answer& answer) {
    if (answer.kind == Answer::Kind::silence || command.id < 0)
        return;
    QJsonObject response = answer.body;
    response.insert("id", command.id);
    for (Session& session : m_sessions) {
        if (session.sender != command.sender || !session.open)
            continue;
        if (command.wrapperID) {
            const QJsonObject wrapped{
                {"method", "Target.dispatchMessageFromTarget"},
                {"params", QJsonObject{{"targetId", command.targetID},
                                       {"message", QString::fromUtf8(json(response))}}}};
            toSessionLocked(out, session, json(wrapped), false, {});
        } else {
            toSessionLocked(out, session, json(response), false, {});
        }
    }
}

void FakeInspectorDaemon::toSessionLocked(Out& out, const Session& session, const QByteArray& message,
                                          bool wrap, const Delivery& delivery) {
    QByteArray data = message;
    if (wrap && !session.target.isEmpty()) {
        const QJsonObject wrapped{
            {"method", "Target.dispatchMessageFromTarget"},
            {"params", QJsonObject{{"targetId", session.target}, {"message", QString::fromUtf8(message)}}}};
        data = json(wrapped);
    }
    QVariantMap base;
    if (delivery.byPage) {
        base.insert(kApplicationKey, session.appID);
        base.insert(kPageKey, session.pageID);
    } else {
        base.insert(kDestinationKey, session.sender);
        base.insert(kApplicationKey, session.appID);
    }
    const QString selector = QStringLiteral("_rpc_applicationSentData:");
    const int pieces = std::max(1, delivery.pieces);
    if (pieces == 1) {
        QVariantMap argument = base;
        argument.insert(QStringLiteral("WIRMessageDataKey"), data);
        out.push_back({session.peer, selector, argument});
        return;
    }
    const qsizetype size = (data.size() + pieces - 1) / pieces;
    for (int i = 0; i < pieces; ++i) {
        QVariantMap argument = base;
        const QByteArray piece = data.mid(i * size, size);
        argument.insert(i + 1 < pieces ? QStringLiteral("WIRPartialMessageKey")
                                       : QStringLiteral("WIRFinalMessageKey"),
                        piece);
        out.push_back({session.peer, selector, argument});
    }
}

// ---- Targets and events ----------------------------------------------------------------------

void FakeInspectorDaemon::announceTarget(const QString& appID, qint64 pageID, const QString& targetID) {
    Out out;
    {
        std::lock_guard guard(m_lock);
        if (Page* page = pageLocked(appID, pageID))
            page->target = targetID;
        const QByteArray created = json(
            {{"method", "Target.targetCreated"},
             {"params", QJsonObject{{"targetInfo", QJsonObject{{"targetId", targetID}, {"type", "page"}}}}}});
        for (Session* session : openSessionsLocked(appID, pageID)) {
            toSessionLocked(out, *session, created, false, {});
            session->target = targetID;
        }
    }
    flush(out);
}

void FakeInspectorDaemon::commitProvisional(const QString& appID, qint64 pageID, const QString& newTargetID) {
    Out out;
    {
        std::lock_guard guard(m_lock);
        if (Page* page = pageLocked(appID, pageID)) {
            page->target = newTargetID;
            page->backlog.clear(); // a new document has logged nothing yet
        }
        for (Session* session : openSessionsLocked(appID, pageID)) {
            QJsonObject params{{"newTargetId", newTargetID}};
            if (!session->target.isEmpty())
                params.insert("previousTargetId", session->target);
            toSessionLocked(out, *session,
                            json({{"method", "Target.didCommitProvisionalTarget"}, {"params", params}}),
                            false, {});
            session->target = newTargetID;
            session->consoleEnabled = false;
        }
    }
    flush(out);
}

void FakeInspectorDaemon::destroyTarget(const QString& appID, qint64 pageID) {
    Out out;
    {
        std::lock_guard guard(m_lock);
        if (Page* page = pageLocked(appID, pageID))
            page->target.clear();
        for (Session* session : openSessionsLocked(appID, pageID)) {
            if (session->target.isEmpty())
                continue;
            toSessionLocked(out, *session,
                            json({{"method", "Target.targetDestroyed"},
                                  {"params", QJsonObject{{"targetId", session->target}}}}),
                            false, {});
            session->target.clear();
            session->consoleEnabled = false;
        }
    }
    flush(out);
}

int FakeInspectorDaemon::sendText(const QString& appID, qint64 pageID, const QByteArray& text,
                                  Delivery delivery) {
    Out out;
    int reached = 0;
    {
        std::lock_guard guard(m_lock);
        for (Session* session : openSessionsLocked(appID, pageID)) {
            toSessionLocked(out, *session, text, true, delivery);
            ++reached;
        }
    }
    flush(out);
    return reached;
}

int FakeInspectorDaemon::sendEvent(const QString& appID, qint64 pageID, const QString& method,
                                   const QJsonObject& params, Delivery delivery) {
    return sendText(appID, pageID, json({{"method", method}, {"params", params}}), delivery);
}

int FakeInspectorDaemon::sendConsole(const QString& appID, qint64 pageID, const QJsonObject& message,
                                     Delivery delivery) {
    return sendEvent(appID, pageID, QStringLiteral("Console.messageAdded"), {{"message", message}}, delivery);
}

int FakeInspectorDaemon::sendRepeat(const QString& appID, qint64 pageID, std::optional<qint64> count) {
    QJsonObject params;
    if (count)
        params.insert("count", *count);
    return sendEvent(appID, pageID, QStringLiteral("Console.messageRepeatCountUpdated"), params);
}

int FakeInspectorDaemon::sendCleared(const QString& appID, qint64 pageID) {
    return sendEvent(appID, pageID, QStringLiteral("Console.messagesCleared"), {});
}

int FakeInspectorDaemon::log(const QString& appID, qint64 pageID, const QJsonObject& message) {
    Out out;
    int reached = 0;
    {
        std::lock_guard guard(m_lock);
        Page* page = pageLocked(appID, pageID);
        if (!page)
            return 0;
        page->backlog.append(message);
        const QByteArray event =
            json({{"method", "Console.messageAdded"}, {"params", QJsonObject{{"message", message}}}});
        for (Session* session : openSessionsLocked(appID, pageID)) {
            if (!session->consoleEnabled)
                continue;
            toSessionLocked(out, *session, event, true, {});
            ++reached;
        }
    }
    flush(out);
    return reached;
}

void FakeInspectorDaemon::respond(const Command& command, const Answer& answer) {
    Out out;
    {
        std::lock_guard guard(m_lock);
        answerLocked(out, command, answer);
    }
    flush(out);
}

// ---- Observations ----------------------------------------------------------------------------

std::vector<FakeInspectorDaemon::Command> FakeInspectorDaemon::commands(const QString& appID,
                                                                        qint64 pageID) const {
    std::vector<Command> found = allCommands();
    std::erase_if(found, [&](const Command& c) { return c.appID != appID || c.pageID != pageID; });
    return found;
}

std::vector<FakeInspectorDaemon::Command> FakeInspectorDaemon::commands(const QString& method) const {
    std::vector<Command> found = allCommands();
    std::erase_if(found, [&](const Command& command) { return command.method != method; });
    return found;
}

std::vector<FakeInspectorDaemon::Command> FakeInspectorDaemon::allCommands() const {
    std::lock_guard guard(m_lock);
    return m_commands;
}

std::optional<FakeInspectorDaemon::Command>
FakeInspectorDaemon::waitForCommand(const QString& appID, qint64 pageID, const QString& method,
                                    std::chrono::milliseconds timeout,
                                    const std::function<bool(const Command&)>& predicate) const {
    std::optional<Command> found;
    waitUntil(
        [&] {
            for (const Command& command : commands(appID, pageID))
                if (command.method == method && (!predicate || predicate(command)))
                    return bool(found = command);
            return false;
        },
        timeout);
    return found;
}
