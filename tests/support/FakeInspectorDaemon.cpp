#include "support/FakeInspectorDaemon.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>

namespace {

const QString kSenderKey = QStringLiteral("WIRSenderKey");
const QString kDestinationKey = QStringLiteral("WIRDestinationKey");

const QStringList kEnabling{"Inspector.enable", "Console.enable", "Runtime.enable", "Inspector.initialized",
                            "Page.enable"};

// Property lists decode every integer as a qint64.
qint64 integer(const QVariant& value) {
    return value.typeId() == QMetaType::LongLong ? value.toLongLong() : -1;
}

// A session or a command, with the client and page a frame addresses.
template <typename T> T addressed(int peer, const QVariantMap& argument) {
    T made;
    made.peer = peer;
    made.connectionID = argument.value(QStringLiteral("WIRConnectionIdentifierKey")).toString();
    made.appID = argument.value(QStringLiteral("WIRApplicationIdentifierKey")).toString();
    made.pageID = integer(argument.value(QStringLiteral("WIRPageIdentifierKey")));
    made.sender = argument.value(kSenderKey).toString();
    return made;
}

std::optional<qint64> jsonID(const QJsonValue& value) {
    return value.isDouble() ? std::optional(qint64(value.toDouble())) : std::nullopt;
}

QByteArray event(const QString& method, const QJsonObject& params) {
    return FakeInspectorCatalog::json({{"method", method}, {"params", params}});
}

QByteArray targetCreated(const QString& targetID) {
    return event("Target.targetCreated",
                 {{"targetInfo", QJsonObject{{"targetId", targetID}, {"type", "page"}}}});
}

QByteArray fromTarget(const QString& targetID, const QByteArray& message) {
    return event("Target.dispatchMessageFromTarget",
                 {{"targetId", targetID}, {"message", QString::fromUtf8(message)}});
}

QByteArray consoleMessage(const QJsonObject& message) {
    return event("Console.messageAdded", {{"message", message}});
}

} // namespace

void FakeInspectorDaemon::setAnswerer(Answerer answerer) {
    std::lock_guard guard(m_lock);
    m_answerer = std::move(answerer);
}

// ---- Frames from clients ---------------------------------------------------------------------

void FakeInspectorDaemon::receive(int peer, const QString& selector, const QVariantMap& argument) {
    Batch batch(*this);
    if (const QVariant connection = argument.value(kConnectionKey); connection.typeId() == QMetaType::QString)
        m_peers[peer] = connection.toString();
    if (selector == QLatin1String("_rpc_getConnectedApplications:")) {
        batch.out.push_back(
            {peer, QStringLiteral("_rpc_reportConnectedApplicationList:"), applicationListLocked()});
    } else if (selector == QLatin1String("_rpc_forwardGetListing:")) {
        const auto it = m_apps.find(argument.value(kApplicationKey).toString());
        if (it != m_apps.end())
            batch.out.push_back(
                {peer, QStringLiteral("_rpc_applicationSentListing:"), listingLocked(it->second)});
    } else if (selector == QLatin1String("_rpc_forwardSocketSetup:")) {
        setupLocked(batch.out, peer, argument);
    } else if (selector == QLatin1String("_rpc_forwardDidClose:")) {
        closeLocked(argument);
    } else if (selector == QLatin1String("_rpc_forwardSocketData:")) {
        socketDataLocked(batch.out, peer, argument);
    }
}

void FakeInspectorDaemon::peerGone(int peer) {
    std::lock_guard guard(m_lock);
    m_peers.erase(peer);
    for (Session& session : m_sessions)
        if (session.peer == peer)
            session.open = false;
}

void FakeInspectorDaemon::setupLocked(Out& out, int peer, const QVariantMap& argument) {
    Session session = addressed<Session>(peer, argument);
    Page* page = pageLocked(session.appID, session.pageID);
    if (page && page->targets == Targets::atOnce) {
        if (page->target.isEmpty())
            page->target = QStringLiteral("page-%1").arg(m_nextTarget++);
        session.target = page->target;
    } else if (page && page->targets == Targets::later) {
        session.target = page->target; // announced earlier, if at all
    }
    m_sessions.push_back(session);
    if (!session.target.isEmpty())
        toSessionLocked(out, session, targetCreated(session.target));
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
    Command command = addressed<Command>(peer, argument);
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
    const auto newest = std::find_if(m_sessions.rbegin(), m_sessions.rend(), [&](const Session& session) {
        return session.sender == command.sender && session.open;
    });
    if (command.wrapperID && newest != m_sessions.rend())
        toSessionLocked(out, *newest, json({{"id", *command.wrapperID}, {"result", QJsonObject()}}));

    std::optional<Answer> answer;
    if (m_answerer) {
        // The answerer is the test's; it must not call back into the daemon.
        answer = m_answerer(command);
    }
    if (!answer)
        answer = kEnabling.contains(command.method) ? Answer::result({}) : Answer::silence();

    // Every session that enables the console gets the page's backlog, before the answer.
    if (command.method == QLatin1String("Console.enable")) {
        for (Session& session : m_sessions) {
            if (session.sender != command.sender || !session.open)
                continue;
            session.consoleEnabled = true;
            if (const Page* page = pageLocked(session.appID, session.pageID))
                for (const QJsonObject& message : page->backlog)
                    toSessionLocked(out, session, consoleMessage(message), true, {});
        }
    }
    answerLocked(out, command, *answer);
}

void FakeInspectorDaemon::answerLocked(Out& out, const Command& command, const Answer& answer) {
    if (answer.kind == Answer::Kind::silence || command.id < 0)
        return;
    QJsonObject response = answer.body;
    response.insert("id", command.id);
    const QByteArray message =
        command.wrapperID ? fromTarget(command.targetID, json(response)) : json(response);
    for (Session& session : m_sessions)
        if (session.sender == command.sender && session.open)
            toSessionLocked(out, session, message);
}

void FakeInspectorDaemon::toSessionLocked(Out& out, const Session& session, const QByteArray& message,
                                          bool wrap, const Delivery& delivery) {
    const QByteArray data = wrap && !session.target.isEmpty() ? fromTarget(session.target, message) : message;
    QVariantMap argument{{kApplicationKey, session.appID}};
    if (delivery.byPage)
        argument.insert(kPageKey, session.pageID);
    else
        argument.insert(kDestinationKey, session.sender);
    const int pieces = std::max(1, delivery.pieces);
    const qsizetype size = (data.size() + pieces - 1) / pieces;
    for (int i = 0; i < pieces; ++i) {
        const QString key = pieces == 1      ? QStringLiteral("WIRMessageDataKey")
                            : i + 1 < pieces ? QStringLiteral("WIRPartialMessageKey")
                                             : QStringLiteral("WIRFinalMessageKey");
        QVariantMap piece = argument;
        piece.insert(key, data.mid(i * size, size));
        out.push_back({session.peer, QStringLiteral("_rpc_applicationSentData:"), piece});
    }
}

// ---- Targets and events ----------------------------------------------------------------------

void FakeInspectorDaemon::announceTarget(const QString& appID, qint64 pageID, const QString& targetID) {
    Batch batch(*this);
    if (Page* page = pageLocked(appID, pageID))
        page->target = targetID;
    for (Session* session : openSessionsLocked(appID, pageID)) {
        toSessionLocked(batch.out, *session, targetCreated(targetID));
        session->target = targetID;
    }
}

void FakeInspectorDaemon::commitProvisional(const QString& appID, qint64 pageID, const QString& newTargetID) {
    Batch batch(*this);
    if (Page* page = pageLocked(appID, pageID)) {
        page->target = newTargetID;
        page->backlog.clear(); // a new document has logged nothing yet
    }
    for (Session* session : openSessionsLocked(appID, pageID)) {
        QJsonObject params{{"newTargetId", newTargetID}};
        if (!session->target.isEmpty())
            params.insert("previousTargetId", session->target);
        toSessionLocked(batch.out, *session, event("Target.didCommitProvisionalTarget", params));
        session->target = newTargetID;
        session->consoleEnabled = false;
    }
}

void FakeInspectorDaemon::destroyTarget(const QString& appID, qint64 pageID) {
    Batch batch(*this);
    if (Page* page = pageLocked(appID, pageID))
        page->target.clear();
    for (Session* session : openSessionsLocked(appID, pageID)) {
        if (session->target.isEmpty())
            continue;
        toSessionLocked(batch.out, *session,
                        event("Target.targetDestroyed", {{"targetId", session->target}}));
        session->target.clear();
        session->consoleEnabled = false;
    }
}

int FakeInspectorDaemon::sendText(const QString& appID, qint64 pageID, const QByteArray& text,
                                  Delivery delivery) {
    Batch batch(*this);
    int reached = 0;
    for (Session* session : openSessionsLocked(appID, pageID)) {
        toSessionLocked(batch.out, *session, text, true, delivery);
        ++reached;
    }
    return reached;
}

int FakeInspectorDaemon::sendEvent(const QString& appID, qint64 pageID, const QString& method,
                                   const QJsonObject& params, Delivery delivery) {
    return sendText(appID, pageID, event(method, params), delivery);
}

int FakeInspectorDaemon::sendConsole(const QString& appID, qint64 pageID, const QJsonObject& message,
                                     Delivery delivery) {
    return sendText(appID, pageID, consoleMessage(message), delivery);
}

int FakeInspectorDaemon::log(const QString& appID, qint64 pageID, const QJsonObject& message) {
    Batch batch(*this);
    if (Page* page = pageLocked(appID, pageID))
        page->backlog.append(message);
    int reached = 0;
    for (Session* session : openSessionsLocked(appID, pageID))
        if (session->consoleEnabled && ++reached)
            toSessionLocked(batch.out, *session, consoleMessage(message), true, {});
    return reached;
}

int FakeInspectorDaemon::sendRepeat(const QString& appID, qint64 pageID, std::optional<qint64> count) {
    return sendEvent(appID, pageID, QStringLiteral("Console.messageRepeatCountUpdated"),
                     count ? QJsonObject{{"count", *count}} : QJsonObject());
}

int FakeInspectorDaemon::sendCleared(const QString& appID, qint64 pageID, const QString& reason) {
    return sendEvent(appID, pageID, QStringLiteral("Console.messagesCleared"),
                     reason.isEmpty() ? QJsonObject() : QJsonObject{{"reason", reason}});
}

void FakeInspectorDaemon::respond(const Command& command, const Answer& answer) {
    Batch batch(*this);
    answerLocked(batch.out, command, answer);
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
    return waitForFirst<Command>([&] { return commands(appID, pageID); },
                                 [&](const Command& command) {
                                     return command.method == method && (!predicate || predicate(command));
                                 },
                                 timeout);
}
