#pragma once

#include "support/FakeInspectorCatalog.h"

// The device side of the Web Inspector service, scripted: on top of the applications, pages and
// sessions it holds, it answers the application list, listing and session selectors and the
// inspector's enabling commands on its own, records the commands clients send, and sends the
// targets and console events of pages; everything else is scripted by the test.
//
// It knows nothing about sockets: frames come in through receive() and go out through the outlet.
// FakeSimulator serves it on a unix socket; FakeDevice behind usbmuxd and TLS. Every member may be
// called from any thread.
class FakeInspectorDaemon : public FakeInspectorCatalog {
public:
    // One inspector command a client sent into a session, unwrapped.
    struct Command {
        int peer = -1;
        QString connectionID;
        QString appID;
        qint64 pageID = 0;
        QString sender;
        qint64 id = -1; // -1 when the command had no integer id
        QString method;
        QJsonObject params;
        // Set when the command came inside "Target.sendMessageToTarget".
        std::optional<qint64> wrapperID;
        QString targetID;
    };

    // What a page answers to a command.
    struct Answer {
        enum class Kind { result, error, silence };
        Kind kind = Kind::silence;
        QJsonObject body; // the response without "id": {"result": ...} or {"error": ...}

        static Answer result(const QJsonObject& result) { return {Kind::result, {{"result", result}}}; }
        static Answer error(const QString& message) {
            return {Kind::error, {{"error", QJsonObject{{"message", message}, {"code", -32000}}}}};
        }
        static Answer errorWithoutMessage() {
            return {Kind::error, {{"error", QJsonObject{{"code", -32000}}}}};
        }
        static Answer silence() { return {}; }
    };
    // Consulted for every command first; nothing means the default: the enabling commands are
    // answered with an empty result, everything else is never answered.
    using Answerer = std::function<std::optional<Answer>(const Command& command)>;

    // How an event travels to a session (no member initialisers: it is a default argument below).
    struct Delivery {
        // More than one: split into "WIRPartialMessageKey" pieces and a "WIRFinalMessageKey" one.
        int pieces;
        // Address the session's page by application and page identifiers instead of the sender.
        bool byPage;
    };

    void setAnswerer(Answerer answerer);

    // The channel side: a frame from a peer, and the end of a peer's stream.
    void receive(int peer, const QString& selector, const QVariantMap& argument);
    void peerGone(int peer);

    // Targets. Each sends the event into every open session of the page. A commit is a navigation:
    // the page's backlog starts empty.
    void announceTarget(const QString& appID, qint64 pageID, const QString& targetID);
    void commitProvisional(const QString& appID, qint64 pageID, const QString& newTargetID);
    void destroyTarget(const QString& appID, qint64 pageID);

    // Events into every open session of the page; wrapped in "Target.dispatchMessageFromTarget"
    // when the session was told about a target. Each returns the number of sessions reached.
    int sendEvent(const QString& appID, qint64 pageID, const QString& method, const QJsonObject& params,
                  Delivery delivery = {});
    int sendConsole(const QString& appID, qint64 pageID, const QJsonObject& message, Delivery delivery = {});
    int sendRepeat(const QString& appID, qint64 pageID, std::optional<qint64> count);
    int sendCleared(const QString& appID, qint64 pageID, const QString& reason = {});
    // The page logs a message: kept in its backlog, sent to the sessions that enabled the console.
    int log(const QString& appID, qint64 pageID, const QJsonObject& message);
    // Any text as the page's message (wrapped when there is a target, as is otherwise).
    int sendText(const QString& appID, qint64 pageID, const QByteArray& text, Delivery delivery = {});
    // Answers a command later, the way it came (wrapped or not).
    void respond(const Command& command, const Answer& answer);

    // What clients did.
    std::vector<Command> commands(const QString& appID, qint64 pageID) const;
    std::vector<Command> commands(const QString& method) const;
    std::vector<Command> allCommands() const;

    std::optional<Command> waitForCommand(const QString& appID, qint64 pageID, const QString& method,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                          const std::function<bool(const Command&)>& predicate = {}) const;

private:
    void setupLocked(Out& out, int peer, const QVariantMap& argument);
    void closeLocked(const QVariantMap& argument);
    void socketDataLocked(Out& out, int peer, const QVariantMap& argument);
    void answerLocked(Out& out, const Command& command, const Answer& answer);
    void toSessionLocked(Out& out, const Session& session, const QByteArray& message, bool wrap = false,
                         const Delivery& delivery = {});

    Answerer m_answerer;
    std::vector<Command> m_commands;
    int m_nextTarget = 1;
};
