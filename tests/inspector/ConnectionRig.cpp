#include "ConnectionRig.h"

#include "wire/UnixTransport.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTest>
#include <QThread>

using namespace std::chrono_literals;

InspectorTiming ConnectionRig::fastTiming() {
    return {60ms, 200ms, 500ms, 1200ms, 500ms};
}

FakeInspectorDaemon::Page webPage(qint64 id, FakeInspectorDaemon::Targets targets, const QString& target) {
    FakeInspectorDaemon::Page page = FakeInspectorDaemon::page(
        id, QStringLiteral("Page %1").arg(id), QStringLiteral("https://shop.example/%1").arg(id));
    page.targets = targets;
    page.target = target;
    return page;
}

QJsonObject logMessage(const QString& text) {
    return {{"source", "console-api"}, {"level", "log"}, {"type", "log"}, {"text", text}};
}

ConnectionRig::ConnectionRig(const InspectorTiming& timing) : m_sim(std::make_unique<FakeSimulator>()) {
    m_sim->start();
    InspectorTiming::set(timing);
    m_connection = std::make_unique<WebInspectorConnection>(
        kDevice, std::make_shared<UnixTransport>(m_sim->socketPath()));
    InspectorTiming::set(InspectorTiming());

    WebInspectorConnection& connection = *m_connection;
    connection.onApps = [this](QList<InspectorApp> list) {
        apps.append(std::move(list));
        heard("apps");
    };
    connection.onPages = [this](QList<InspectorPage> list) {
        pages.append(std::move(list));
        heard("pages");
    };
    connection.onEntry = [this](ConsoleEntry entry) {
        entries.push_back(std::move(entry));
        heard("entry");
    };
    connection.onCleared = [this](PageKey key) { heard(QStringLiteral("cleared %1").arg(key.pageID)); };
    connection.onRepeat = [this](PageKey key, qint64 n) {
        heard(QStringLiteral("repeat %1 %2").arg(key.pageID).arg(n));
    };
    // On the connection's queue; the owner hops to its own thread, as the hub does.
    connection.onClose = [this] {
        const QString thread = QThread::currentThread()->objectName();
        QMetaObject::invokeMethod(this, [this, thread] {
            closeThread = thread;
            ++closes;
            heard("close");
        });
    };
}

ConnectionRig::~ConnectionRig() {
    m_connection.reset();
    m_sim.reset();
}

void ConnectionRig::heard(const QString& what) {
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        ++strays;
    order.append(what);
}

WebInspectorConnection::ResponseHandler ConnectionRig::answer() {
    return [this](simdjson::dom::element response) {
        QJsonObject body =
            QJsonDocument::fromJson(QByteArray::fromStdString(simdjson::minify(response))).object();
        body.insert("thread", QThread::currentThread()->objectName());
        QMetaObject::invokeMethod(this, [this, body] { answers.append(body); });
    };
}

bool ConnectionRig::start() {
    if (m_connection->start())
        return false;
    m_connection->setCapturing(true);
    return true;
}

bool ConnectionRig::openShop(const std::vector<Page>& pages) {
    m_sim->addApp({kShop, QStringLiteral("Shop"), std::nullopt, std::nullopt});
    for (const Page& page : pages)
        m_sim->addPage(kShop, page);
    return start();
}

QString ConnectionRig::enabledSender(qint64 pageID, int times) {
    const auto session = m_sim->waitForSession(kShop, pageID, 10s);
    const auto enabled = [&] { return commandsOf(session->sender).size() >= std::size_t(4 * times); };
    return session && QTest::qWaitFor(enabled, 10000) ? session->sender : QString();
}

std::optional<InspectorPage> ConnectionRig::page(qint64 pageID, const QString& appID) const {
    for (const InspectorPage& page : lastPages())
        if (page.key == key(appID, pageID))
            return page;
    return std::nullopt;
}

std::vector<ConsoleEntry> ConnectionRig::results() const {
    std::vector<ConsoleEntry> found;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(found),
                 [](const ConsoleEntry& entry) { return entry.kind == EntryKind::result; });
    return found;
}

std::vector<ConnectionRig::Command> ConnectionRig::commandsOf(const QString& sender) const {
    std::vector<Command> found = m_sim->allCommands();
    std::erase_if(found, [&](const Command& command) { return command.sender != sender; });
    return found;
}

QStringList ConnectionRig::methods(qint64 pageID) const {
    return pluck(m_sim->commands(kShop, pageID), [](const Command& command) { return command.method; });
}

QStringList ConnectionRig::closedSenders() {
    return pluck(frames(QStringLiteral("_rpc_forwardDidClose:")), [](const auto& frame) {
        return frame.argument.value(QStringLiteral("WIRSenderKey")).toString();
    });
}

bool ConnectionRig::waitForPolls(int count) {
    const QString selector = QStringLiteral("_rpc_getConnectedApplications:");
    const std::size_t target = frames(selector).size() + std::size_t(count);
    return QTest::qWaitFor([&] { return frames(selector).size() >= target; }, 10000);
}
