#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

// The device side of the Web Inspector service, scripted: applications with their pages, the
// inspector sessions that clients open on pages, the targets those pages announce and the console
// events they send. It answers the application list, listing and session selectors and the
// inspector's enabling commands on its own; everything else is scripted by the test.
//
// It knows nothing about sockets: frames come in through receive() and go out through the outlet,
// addressed to a peer (an opaque client number of whoever serves it). FakeSimulator serves it on a
// unix socket; a fake USB device can serve it on another channel.
//
// Every member may be called from any thread. Outgoing frames are written outside the internal
// lock, in the order they were produced by each calling thread.
class FakeInspectorDaemon {
public:
    // How a page's inspector announces its target when a session is opened on it.
    enum class Targets {
        none,   // no targets: commands are sent to the page itself
        atOnce, // "Target.targetCreated" right after the setup
        later,  // nothing until announceTarget()
    };

    struct App {
        QString id; // "PID:4711"
        std::optional<QString> name;
        std::optional<QString> bundleID;
        std::optional<QByteArray> icon;
    };

    struct Page {
        qint64 id = 0;
        QString title;
        QString url;
        std::optional<QString> type = QStringLiteral("WIRTypeWebPage");
        std::optional<QString> overrideName;
        // The connection id of another client that holds the page. When empty, the listing names
        // the client of the page's first open session, as the service does.
        std::optional<QString> heldBy;
        Targets targets = Targets::none;
        // The page's current target; atOnce makes one up when it is empty.
        QString target;
        // Console messages the page has logged: replayed into a session when it enables the console.
        QList<QJsonObject> backlog;
    };

    // One inspector session a client opened with "_rpc_forwardSocketSetup:".
    struct Session {
        int peer = -1;
        QString connectionID;
        QString appID;
        qint64 pageID = 0;
        QString sender;
        bool open = true;
        bool automaticallyPause = false;
        // The target this session was told about (empty: none).
        QString target;
        bool consoleEnabled = false;
    };

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

        static Answer result(const QJsonObject& result);
        static Answer error(const QString& message);
        static Answer errorWithoutMessage();
        static Answer silence();
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

    using Outlet = std::function<void(int peer, const QString& selector, const QVariantMap& argument)>;
    using Clock = std::chrono::steady_clock;

    explicit FakeInspectorDaemon(Outlet outlet = {});
    virtual ~FakeInspectorDaemon();
    FakeInspectorDaemon(const FakeInspectorDaemon&) = delete;
    FakeInspectorDaemon& operator=(const FakeInspectorDaemon&) = delete;

    void setOutlet(Outlet outlet);
    void setAnswerer(Answerer answerer);
    // Whether application list and listing requests are answered (on by default).
    void setAnswersLists(bool on);

    // The channel side: a frame from a peer, and the end of a peer's stream.
    void receive(int peer, const QString& selector, const QVariantMap& argument);
    void peerGone(int peer);

    // Applications. `announce` tells every known peer at once; otherwise the change shows in the
    // next answer to a list request.
    void addApp(const App& app, bool announce = false);         // "_rpc_applicationConnected:"
    void updateApp(const App& app, bool announce = true);       // "_rpc_applicationUpdated:"
    void removeApp(const QString& appID, bool announce = true); // "_rpc_applicationDisconnected:"
    std::optional<App> app(const QString& appID) const;

    // Pages of an application (the application must exist). A page with a known id is replaced.
    void addPage(const QString& appID, const Page& page);
    void removePage(const QString& appID, qint64 pageID);
    void setHolder(const QString& appID, qint64 pageID, std::optional<QString> holder);
    void setTitle(const QString& appID, qint64 pageID, const QString& title);

    // An unprompted listing, to one peer or (-1) to every known peer.
    void sendListing(const QString& appID, int peer = -1);

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
    int sendCleared(const QString& appID, qint64 pageID);
    // Any text as the page's message (wrapped when there is a target, as is otherwise).
    int sendText(const QString& appID, qint64 pageID, const QByteArray& text, Delivery delivery = {});
    // The page logs a message: kept for replay, and sent to sessions whose console is enabled.
    int log(const QString& appID, qint64 pageID, const QJsonObject& message);
    // Answers a command later, the way it came (wrapped or not).
    void respond(const Command& command, const Answer& answer);

    // What clients did.
    std::vector<Session> sessions(const QString& appID, qint64 pageID) const; // in order of setup
    std::vector<Session> openSessions(const QString& appID, qint64 pageID) const;
    std::vector<Command> commands(const QString& appID, qint64 pageID) const;
    std::vector<Command> commands(const QString& method) const;
    std::vector<Command> allCommands() const;
    QString connectionID(int peer) const;

    // Waits until the predicate holds; it may read the daemon.
    bool waitUntil(const std::function<bool()>& predicate,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    std::optional<Command> waitForCommand(const QString& appID, qint64 pageID, const QString& method,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                          const std::function<bool(const Command&)>& predicate = {}) const;
    std::optional<Session> waitForSession(const QString& appID, qint64 pageID,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    static QByteArray json(const QJsonObject& object);
    // A web page with a title and a URL, and everything else as a fresh page has it.
    static Page page(qint64 id, const QString& title, const QString& url);

private:
    struct AppState {
        App app;
        std::map<qint64, Page> pages;
    };
    struct Outgoing {
        int peer;
        QString selector;
        QVariantMap argument;
    };
    using Out = std::vector<Outgoing>;

    void flush(Out& out);
    void storeApp(const App& app, const QString& selector);
    std::vector<int> peersLocked(int peer) const;
    QVariantMap appDictionaryLocked(const AppState& state) const;
    QVariantMap applicationListLocked() const;
    QVariantMap listingLocked(const AppState& state) const;
    Page* pageLocked(const QString& appID, qint64 pageID);
    std::vector<Session*> openSessionsLocked(const QString& appID, qint64 pageID);
    void setupLocked(Out& out, int peer, const QVariantMap& argument);
    void closeLocked(const QVariantMap& argument);
    void socketDataLocked(Out& out, int peer, const QVariantMap& argument);
    void answerLocked(Out& out, const Command& command, const Answer& answer);
    void toSessionLocked(Out& out, const Session& session, const QByteArray& message, bool wrap,
                         const Delivery& delivery);

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    Outlet m_outlet;
    Answerer m_answerer;
    bool m_answersLists = true;
    std::map<QString, AppState> m_apps;
    std::map<int, QString> m_peers; // peer → the connection id it reported
    std::vector<Session> m_sessions;
    std::vector<Command> m_commands;
    int m_nextTarget = 1;
};
