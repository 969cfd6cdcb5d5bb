#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <algorithm>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

// What a scripted Web Inspector service holds: applications with their pages, the clients (peers)
// that talk to it and the inspector sessions they opened, and the lists it answers with. Frames go
// out through the outlet, addressed to a peer, written outside the internal lock in the order each
// calling thread produced them. FakeInspectorDaemon adds the protocol on top.
class FakeInspectorCatalog {
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
        // The target this session was told about (empty: none).
        QString target;
        bool consoleEnabled = false;
    };

    using Outlet = std::function<void(int peer, const QString& selector, const QVariantMap& argument)>;
    using Clock = std::chrono::steady_clock;

    virtual ~FakeInspectorCatalog() = default;

    void setOutlet(Outlet outlet);

    // Applications. `announce` tells every known peer at once; otherwise the change shows in the
    // next answer to a list request.
    void addApp(const App& app, bool announce = false);         // "_rpc_applicationConnected:"
    void updateApp(const App& app, bool announce = true);       // "_rpc_applicationUpdated:"
    void removeApp(const QString& appID, bool announce = true); // "_rpc_applicationDisconnected:"

    // Pages of an application (the application must exist). A page with a known id is replaced.
    void addPage(const QString& appID, const Page& page);
    void removePage(const QString& appID, qint64 pageID);
    void setHolder(const QString& appID, qint64 pageID, std::optional<QString> holder);

    // An unprompted listing, to every known peer.
    void sendListing(const QString& appID);

    // Sessions clients opened, in order of setup, and the connection id a peer reported.
    std::vector<Session> sessions(const QString& appID, qint64 pageID) const;
    QString connectionID(int peer) const;

    // Waits until the predicate holds; it may read the daemon.
    static bool waitUntil(const std::function<bool()>& predicate,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::optional<Session> waitForSession(const QString& appID, qint64 pageID,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // The first of the list that matches, once there is one.
    template <typename T>
    static std::optional<T> waitForFirst(const std::function<std::vector<T>()>& list,
                                         const std::function<bool(const T&)>& match,
                                         std::chrono::milliseconds timeout) {
        std::optional<T> found;
        waitUntil(
            [&] {
                return std::ranges::any_of(list(),
                                           [&](const T& item) { return match(item) && (found = item); });
            },
            timeout);
        return found;
    }

    static QByteArray json(const QJsonObject& object);
    // A web page with a title and a URL, and everything else as a fresh page has it.
    static Page page(qint64 id, const QString& title, const QString& url);

protected:
    static inline const QString kConnectionKey = QStringLiteral("WIRConnectionIdentifierKey");
    static inline const QString kApplicationKey = QStringLiteral("WIRApplicationIdentifierKey");
    static inline const QString kPageKey = QStringLiteral("WIRPageIdentifierKey");

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
    // Holds the lock while frames are queued into it; they go out once it is released.
    struct Batch {
        explicit Batch(FakeInspectorCatalog& catalog) : catalog(catalog), guard(catalog.m_lock) {}
        ~Batch() {
            guard.unlock();
            catalog.flush(out);
        }
        FakeInspectorCatalog& catalog;
        std::unique_lock<std::mutex> guard;
        Out out;
    };

    void flush(Out& out);
    void storeApp(const App& app, const QString& selector);
    QVariantMap appDictionaryLocked(const AppState& state) const;
    QVariantMap applicationListLocked() const;
    QVariantMap listingLocked(const AppState& state) const;
    Page* pageLocked(const QString& appID, qint64 pageID);
    std::vector<Session*> openSessionsLocked(const QString& appID, qint64 pageID);

    mutable std::mutex m_lock;
    Outlet m_outlet;
    std::map<QString, AppState> m_apps;
    std::map<int, QString> m_peers; // peer → the connection id it reported
    std::vector<Session> m_sessions;
};
