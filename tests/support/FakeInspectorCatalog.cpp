#include "support/FakeInspectorCatalog.h"

#include <QJsonDocument>

#include <thread>

FakeInspectorCatalog::Page FakeInspectorCatalog::page(qint64 id, const QString& title, const QString& url) {
    Page page;
    page.id = id;
    page.title = title;
    page.url = url;
    return page;
}

QByteArray FakeInspectorCatalog::json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void FakeInspectorCatalog::setOutlet(Outlet outlet) {
    std::lock_guard guard(m_lock);
    m_outlet = std::move(outlet);
}

void FakeInspectorCatalog::flush(Out& out) {
    Outlet outlet;
    {
        std::lock_guard guard(m_lock);
        outlet = m_outlet;
    }
    if (outlet)
        for (const Outgoing& message : out)
            outlet(message.peer, message.selector, message.argument);
    out.clear();
}

QVariantMap FakeInspectorCatalog::appDictionaryLocked(const AppState& state) const {
    QVariantMap dictionary{{kApplicationKey, state.app.id}};
    if (state.app.name)
        dictionary.insert(QStringLiteral("WIRApplicationNameKey"), *state.app.name);
    if (state.app.bundleID)
        dictionary.insert(QStringLiteral("WIRApplicationBundleIdentifierKey"), *state.app.bundleID);
    if (state.app.icon)
        dictionary.insert(QStringLiteral("WIRApplicationIconKey"), *state.app.icon);
    dictionary.insert(QStringLiteral("WIRIsApplicationActiveKey"), qint64(1));
    return dictionary;
}

QVariantMap FakeInspectorCatalog::applicationListLocked() const {
    QVariantMap apps;
    for (const auto& [id, state] : m_apps)
        apps.insert(id, appDictionaryLocked(state));
    return {{QStringLiteral("WIRApplicationDictionaryKey"), apps}};
}

QVariantMap FakeInspectorCatalog::listingLocked(const AppState& state) const {
    QVariantMap listing;
    for (const auto& [id, page] : state.pages) {
        QVariantMap entry{{kPageKey, page.id},
                          {QStringLiteral("WIRTitleKey"), page.title},
                          {QStringLiteral("WIRURLKey"), page.url}};
        if (page.type)
            entry.insert(QStringLiteral("WIRTypeKey"), *page.type);
        const auto session = std::ranges::find_if(m_sessions, [&](const Session& session) {
            return session.open && session.appID == state.app.id && session.pageID == page.id;
        });
        if (page.heldBy || session != m_sessions.end())
            entry.insert(kConnectionKey, page.heldBy ? *page.heldBy : session->connectionID);
        listing.insert(QString::number(page.id), entry);
    }
    return {{kApplicationKey, state.app.id}, {QStringLiteral("WIRListingKey"), listing}};
}

void FakeInspectorCatalog::addApp(const App& app, bool announce) {
    storeApp(app, announce ? QStringLiteral("_rpc_applicationConnected:") : QString());
}

void FakeInspectorCatalog::updateApp(const App& app, bool announce) {
    storeApp(app, announce ? QStringLiteral("_rpc_applicationUpdated:") : QString());
}

// Stores the application and, with a selector, tells every peer about it.
void FakeInspectorCatalog::storeApp(const App& app, const QString& selector) {
    Batch batch(*this);
    AppState& state = m_apps[app.id];
    state.app = app;
    if (!selector.isEmpty())
        for (const auto& [peer, connection] : m_peers)
            batch.out.push_back({peer, selector, appDictionaryLocked(state)});
}

void FakeInspectorCatalog::removeApp(const QString& appID, bool announce) {
    Batch batch(*this);
    m_apps.erase(appID);
    for (Session& session : m_sessions)
        if (session.appID == appID)
            session.open = false;
    if (announce)
        for (const auto& [peer, connection] : m_peers)
            batch.out.push_back(
                {peer, QStringLiteral("_rpc_applicationDisconnected:"), {{kApplicationKey, appID}}});
}

FakeInspectorCatalog::Page* FakeInspectorCatalog::pageLocked(const QString& appID, qint64 pageID) {
    const auto app = m_apps.find(appID);
    if (app == m_apps.end())
        return nullptr;
    const auto page = app->second.pages.find(pageID);
    return page == app->second.pages.end() ? nullptr : &page->second;
}

void FakeInspectorCatalog::addPage(const QString& appID, const Page& page) {
    std::lock_guard guard(m_lock);
    if (const auto app = m_apps.find(appID); app != m_apps.end())
        app->second.pages[page.id] = page;
}

void FakeInspectorCatalog::removePage(const QString& appID, qint64 pageID) {
    std::lock_guard guard(m_lock);
    if (const auto app = m_apps.find(appID); app != m_apps.end())
        app->second.pages.erase(pageID);
}

void FakeInspectorCatalog::setHolder(const QString& appID, qint64 pageID, std::optional<QString> holder) {
    std::lock_guard guard(m_lock);
    if (Page* page = pageLocked(appID, pageID))
        page->heldBy = std::move(holder);
}

void FakeInspectorCatalog::sendListing(const QString& appID) {
    Batch batch(*this);
    const auto it = m_apps.find(appID);
    if (it != m_apps.end())
        for (const auto& [peer, connection] : m_peers)
            batch.out.push_back(
                {peer, QStringLiteral("_rpc_applicationSentListing:"), listingLocked(it->second)});
}

std::vector<FakeInspectorCatalog::Session*> FakeInspectorCatalog::openSessionsLocked(const QString& appID,
                                                                                     qint64 pageID) {
    std::vector<Session*> found;
    for (Session& session : m_sessions)
        if (session.open && session.appID == appID && session.pageID == pageID)
            found.push_back(&session);
    return found;
}

std::vector<FakeInspectorCatalog::Session> FakeInspectorCatalog::sessions(const QString& appID,
                                                                          qint64 pageID) const {
    std::lock_guard guard(m_lock);
    std::vector<Session> found = m_sessions;
    std::erase_if(found, [&](const Session& s) { return s.appID != appID || s.pageID != pageID; });
    return found;
}

QString FakeInspectorCatalog::connectionID(int peer) const {
    std::lock_guard guard(m_lock);
    const auto it = m_peers.find(peer);
    return it == m_peers.end() ? QString() : it->second;
}

// The predicate may read the daemon, so it runs without the lock, in short slices.
bool FakeInspectorCatalog::waitUntil(const std::function<bool()>& predicate,
                                     std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (; !predicate(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (Clock::now() >= deadline)
            return false;
    return true;
}

std::optional<FakeInspectorCatalog::Session>
FakeInspectorCatalog::waitForSession(const QString& appID, qint64 pageID,
                                     std::chrono::milliseconds timeout) const {
    return waitForFirst<Session>([&] { return sessions(appID, pageID); },
                                 [](const Session& session) { return session.open; }, timeout);
}
