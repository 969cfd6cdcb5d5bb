#include "inspector/ConnectionWorker.h"

#include "base/Logging.h"

namespace {

const QString kApplicationDictionaryKey = QStringLiteral("WIRApplicationDictionaryKey");
// Entries per run handed to the owner's thread.
constexpr qsizetype kMaxRun = 256;

} // namespace

ConnectionWorker::ConnectionWorker(WebInspectorConnection* owner, QString deviceID, QString connectionID,
                                   std::shared_ptr<FrameInbox> inbox, const InspectorTiming& timing)
    : m_owner(owner), m_inbox(std::move(inbox)), m_link(deviceID, connectionID),
      m_inventory(deviceID, connectionID),
      m_sessions(*this, m_link, m_inventory, timing, [this](Event event) { post(std::move(event)); }),
      m_evaluations(*this, m_sessions, timing, [this](Event event) { post(std::move(event)); }),
      m_housekeeping(m_link, m_inventory, m_sessions, timing,
                     [this](Event event) { post(std::move(event)); }) {
    m_sessions.onEnabled = [this](const PageKey& key) { m_evaluations.runQueued(key); };
    m_sessions.onEnded = [this](const QString& sender) { m_partials.forget(sender); };
}

ConnectionWorker::~ConnectionWorker() = default;

// ---- Start, frames and the owner's calls -----------------------------------------------------

void ConnectionWorker::begin(std::shared_ptr<WIRSocket> socket) {
    m_link.setSocket(std::move(socket));
    // A service that hung up at once may already have closed the link: start nothing then.
    if (m_closed)
        return;
    m_link.send(QStringLiteral("_rpc_reportIdentifier:"), m_link.base());
    m_link.send(QStringLiteral("_rpc_getConnectedApplications:"), m_link.base());
    m_housekeeping.start(*this);
}

void ConnectionWorker::runTasks() {
    for (WebInspectorConnection::Task& task : m_owner->takeTasks())
        task(*this);
    if (m_deleteDone) {
        std::promise<void>* done = m_deleteDone;
        delete this;
        done->set_value();
    }
}

void ConnectionWorker::drain() {
    FrameInbox::Batch batch = m_inbox->take();
    for (FrameInbox::Frame& frame : batch.frames) {
        if (m_closed)
            break;
        handle(frame.selector, frame.argument);
    }
    if (batch.closeReason && !m_closed)
        close();
}

void ConnectionWorker::setCapturing(bool on) {
    m_sessions.setCapturing(on);
}

void ConnectionWorker::indicate(const PageKey& page, bool enabled) {
    QVariantMap argument = m_link.pageArgument(page);
    argument.insert(QStringLiteral("WIRIndicateEnabledKey"), enabled);
    m_link.send(QStringLiteral("_rpc_forwardIndicateWebView:"), argument);
}

bool ConnectionWorker::request(const QString& method, const QJsonObject& params, const PageKey& page,
                               ResponseHandler handler, bool endsWithSession) {
    return m_sessions.request(method, params, page, std::move(handler), endsWithSession);
}

void ConnectionWorker::evaluate(const QString& expression, const PageKey& page, const QUuid& evaluation,
                                bool awaitPromise) {
    m_evaluations.evaluate(expression, page, evaluation, awaitPromise);
}

// ---- Messages from the service ---------------------------------------------------------------

void ConnectionWorker::handle(const QString& selector, const QVariantMap& argument) {
    qCDebug(lcInspector) << "received" << selector;
    if (PartialMessages::Result piece = m_partials.take(argument); piece.piece) {
        if (piece.complete)
            m_sessions.receive(*piece.complete);
        return;
    }
    const auto appID = [&] { return ServiceLink::string(argument, ServiceLink::kApplicationKey); };
    if (selector == QLatin1String("_rpc_applicationSentData:")) {
        m_sessions.receive(argument);
    } else if (selector == QLatin1String("_rpc_reportConnectedApplicationList:")) {
        reportedApplications(argument);
    } else if (selector == QLatin1String("_rpc_applicationConnected:") ||
               selector == QLatin1String("_rpc_applicationUpdated:")) {
        if (const auto id = appID())
            appConnected(*id, argument);
    } else if (selector == QLatin1String("_rpc_applicationDisconnected:")) {
        if (const auto id = appID())
            appDisconnected(*id);
    } else if (selector == QLatin1String("_rpc_applicationSentListing:")) {
        if (const auto id = appID())
            listing(*id, argument);
    } else {
        qCDebug(lcInspector) << "ignored" << selector;
    }
}

void ConnectionWorker::reportedApplications(const QVariantMap& argument) {
    const QVariantMap dictionary =
        ServiceLink::map(argument, kApplicationDictionaryKey).value_or(QVariantMap());
    for (const QString& appID : m_inventory.appIDs())
        if (!dictionary.contains(appID))
            appDisconnected(appID);
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
        const QVariantMap app = it->metaType().id() == QMetaType::QVariantMap ? it->toMap() : QVariantMap();
        if (m_inventory.recordApp(it.key(), app))
            post(m_inventory.apps());
        sendGetListing(it.key());
    }
}

void ConnectionWorker::appConnected(const QString& appID, const QVariantMap& argument) {
    if (m_inventory.recordApp(appID, argument))
        post(m_inventory.apps());
    sendGetListing(appID);
}

void ConnectionWorker::sendGetListing(const QString& appID) {
    QVariantMap argument = m_link.base();
    argument.insert(ServiceLink::kApplicationKey, appID);
    m_link.send(QStringLiteral("_rpc_forwardGetListing:"), argument);
}

void ConnectionWorker::appDisconnected(const QString& appID) {
    const std::vector<PageKey> gone = m_inventory.removeApp(appID);
    post(m_inventory.apps());
    for (const PageKey& key : gone)
        m_sessions.lose(key); // the application is gone: nothing to tell the service
    post(m_inventory.pages());
}

void ConnectionWorker::listing(const QString& appID, const QVariantMap& argument) {
    const ServiceInventory::Listing listing = m_inventory.applyListing(appID, argument);
    using Kind = ServiceInventory::PageChange::Kind;
    for (const auto& [key, kind] : listing.changes) {
        if (kind == Kind::claimed)
            m_sessions.lose(key);
        else if (kind == Kind::removed)
            m_sessions.end(key);
        else if (!m_sessions.has(key) && m_sessions.capturing())
            m_sessions.attach(key);
    }
    if (listing.changed)
        post(m_inventory.pages());
}

// ---- Ending ----------------------------------------------------------------------------------

void ConnectionWorker::stop() {
    m_housekeeping.stop();
    // The owner is ending the link: requests whose callers wait are answered.
    m_sessions.endAll();
    m_link.shut();
}

void ConnectionWorker::close() {
    m_closed = true;
    m_housekeeping.stop();
    m_sessions.clear();
    m_inventory.clear();
    m_evaluations.clear();
    m_partials.clear();
    post(m_inventory.apps());
    post(m_inventory.pages());
    flush();
    if (!m_detached && m_owner->onClose)
        m_owner->onClose();
}

void ConnectionWorker::detach() {
    m_detached = true;
    m_closed = true;
    m_sessions.clear();
    m_housekeeping.stop();
    m_link.shut();
    m_outbox.clear();
}

// ---- Delivery to the owner's thread ----------------------------------------------------------

void ConnectionWorker::post(Event event) {
    if (m_detached)
        return;
    if (ConsoleEntry* entry = std::get_if<ConsoleEntry>(&event)) {
        ++m_outboxEntries;
        auto* run = m_outbox.empty() ? nullptr : std::get_if<ConnectionEvents::Entries>(&m_outbox.back());
        // Runs stay small enough for the allocator's ordinary heap.
        if (!run || run->entries.size() >= kMaxRun) {
            run = &std::get<ConnectionEvents::Entries>(m_outbox.emplace_back(ConnectionEvents::Entries{}));
            run->entries.reserve(kMaxRun);
        }
        run->entries.append(std::move(*entry));
    } else {
        m_outbox.push_back(std::move(event));
    }
    if (!m_flushScheduled) {
        m_flushScheduled = true;
        QMetaObject::invokeMethod(this, &ConnectionWorker::flush, Qt::QueuedConnection);
    }
}

void ConnectionWorker::flush() {
    m_flushScheduled = false;
    if (m_outbox.empty() || m_detached)
        return;
    Batch batch = std::move(m_outbox);
    m_outbox = {};
    const int entries = m_outboxEntries;
    m_outboxEntries = 0;
    m_inbox->entriesPosted(entries);
    // The batch waits with the owner under its lock; the posted call carries nothing, so every
    // event is made here and consumed and freed on the owner's thread.
    if (m_owner->queueDelivery(std::move(batch)))
        emit deliveriesPending();
}
