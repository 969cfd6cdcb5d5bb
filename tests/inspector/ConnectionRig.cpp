#include "ConnectionRig.h"

#include "wire/UnixTransport.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTest>
#include <QThread>

using namespace std::chrono_literals;

InspectorTiming ConnectionRig::fastTiming() {
    InspectorTiming timing;
    timing.enableFallback = 60ms;
    timing.poll = 200ms;
    timing.revival = 500ms;
    timing.requestDeadline = 1200ms;
    timing.queuedExpiry = 500ms;
    return timing;
}

FakeInspectorDaemon::Page webPage(qint64 id, FakeInspectorDaemon::Targets targets, const QString& target) {
    FakeInspectorDaemon::Page page;
    page.id = id;
    page.title = QStringLiteral("Page %1").arg(id);
    page.url = QStringLiteral("https://shop.example/%1").arg(id);
    page.targets = targets;
    page.target = target;
    return page;
}

QJsonObject logMessage(const QString& text, const QString& level) {
    return {{"source", "console-api"}, {"level", level}, {"type", "log"}, {"text", text}};
}

ConnectionRig::ConnectionRig(const InspectorTiming& timing) : m_sim(std::make_unique<FakeSimulator>()) {
    m_sim->start();
    InspectorTiming::set(timing);
    m_connection = std::make_unique<WebInspectorConnection>(
        kDevice, std::make_shared<UnixTransport>(m_sim->socketPath()));
    InspectorTiming::set(InspectorTiming());

    WebInspectorConnection& connection = *m_connection;
    connection.onApps = [this](QList<InspectorApp> list) {
        checkThread();
        apps.append(std::move(list));
        order.append(QStringLiteral("apps"));
    };
    connection.onPages = [this](QList<InspectorPage> list) {
        checkThread();
        pages.append(std::move(list));
        order.append(QStringLiteral("pages"));
    };
    connection.onEntry = [this](ConsoleEntry entry) {
        checkThread();
        entries.push_back(std::move(entry));
        order.append(QStringLiteral("entry"));
    };
    connection.onCleared = [this](PageKey key) {
        checkThread();
        cleared.append(key);
        order.append(QStringLiteral("cleared"));
    };
    connection.onRepeat = [this](PageKey key, qint64 count) {
        checkThread();
        repeats.append({key, count});
        order.append(QStringLiteral("repeat"));
    };
    // On the connection's queue; the owner hops to its own thread, as the hub does.
    connection.onClose = [this] {
        {
            std::lock_guard guard(m_lock);
            m_closeThread = QThread::currentThread()->objectName();
        }
        QMetaObject::invokeMethod(
            this,
            [this] {
                checkThread();
                ++closes;
                order.append(QStringLiteral("close"));
            },
            Qt::QueuedConnection);
    };
}

ConnectionRig::~ConnectionRig() {
    m_connection.reset();
    m_sim.reset();
}

bool ConnectionRig::start(bool capturing) {
    if (m_connection->start())
        return false;
    m_connection->setCapturing(capturing);
    return true;
}

bool ConnectionRig::openShop(const std::vector<Page>& pages) {
    m_sim->addApp({kShop, QStringLiteral("Shop"), std::nullopt, std::nullopt});
    for (const Page& page : pages)
        m_sim->addPage(kShop, page);
    return start();
}

bool ConnectionRig::waitEnabled(qint64 pageID) {
    return m_sim->waitForCommand(kShop, pageID, QStringLiteral("Inspector.initialized"), 10s).has_value();
}

void ConnectionRig::dropConnection() {
    m_connection.reset();
}

void ConnectionRig::checkThread() {
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        ++m_stray;
}

QString ConnectionRig::closeThreadName() const {
    std::lock_guard guard(m_lock);
    return m_closeThread;
}

std::optional<InspectorPage> ConnectionRig::page(const PageKey& key) const {
    for (const InspectorPage& page : lastPages())
        if (page.key == key)
            return page;
    return std::nullopt;
}

QStringList ConnectionRig::texts() const {
    QStringList list;
    for (const ConsoleEntry& entry : entries)
        list.append(entry.text);
    return list;
}

std::vector<ConsoleEntry> ConnectionRig::reports() const {
    std::vector<ConsoleEntry> found;
    for (const ConsoleEntry& entry : entries)
        if (entry.source == QLatin1String("tavolin"))
            found.push_back(entry);
    return found;
}

std::vector<ConsoleEntry> ConnectionRig::results() const {
    std::vector<ConsoleEntry> found;
    for (const ConsoleEntry& entry : entries)
        if (entry.kind == EntryKind::result)
            found.push_back(entry);
    return found;
}

std::vector<FakeInspectorService::Frame> ConnectionRig::frames(const QString& selector) const {
    return m_sim->service().received(selector);
}

QStringList ConnectionRig::closedSenders() const {
    QStringList senders;
    for (const FakeInspectorService::Frame& frame : frames(QStringLiteral("_rpc_forwardDidClose:")))
        senders.append(frame.argument.value(QStringLiteral("WIRSenderKey")).toString());
    return senders;
}

int ConnectionRig::setupCount(const QString& appID, qint64 pageID) const {
    return int(m_sim->sessions(appID, pageID).size());
}

bool ConnectionRig::waitForPolls(int count) {
    const QString selector = QStringLiteral("_rpc_getConnectedApplications:");
    const std::size_t target = frames(selector).size() + std::size_t(count);
    return QTest::qWaitFor([&] { return frames(selector).size() >= target; }, 10000);
}

WebInspectorConnection::ResponseHandler Answers::handler() {
    return [this](simdjson::dom::element response) {
        std::lock_guard guard(lock);
        bodies.append(
            QJsonDocument::fromJson(QByteArray::fromStdString(simdjson::minify(response))).object());
        threads.append(QThread::currentThread()->objectName());
    };
}

qsizetype Answers::count() {
    std::lock_guard guard(lock);
    return bodies.size();
}

QJsonObject Answers::body(qsizetype i) {
    std::lock_guard guard(lock);
    return bodies.value(i);
}
