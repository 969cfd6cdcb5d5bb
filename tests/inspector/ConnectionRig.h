#pragma once

#include "inspector/InspectorTiming.h"
#include "inspector/WebInspectorConnection.h"
#include "support/FakeSimulator.h"
#include "wire/UnixTransport.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>

// f applied to each of a list's items.
template <typename List, typename F> auto pluck(const List& list, F f) {
    QList<std::decay_t<decltype(f(*list.begin()))>> values;
    for (const auto& item : list)
        values.append(f(item));
    return values;
}

// A real connection over a real unix socket to a fake simulator, with everything the connection
// reports to its owner recorded on the test's main thread.
class ConnectionRig : public QObject {
public:
    using Page = FakeInspectorDaemon::Page;
    using Targets = FakeInspectorDaemon::Targets;
    using Command = FakeInspectorDaemon::Command;

    static inline const QString kDevice = QStringLiteral("SIM-1");
    static inline const QString kShop = QStringLiteral("PID:4711");
    static inline const QString kQueue = QStringLiteral("tavolin.inspector.SIM-1");

    // Short timings keep the suites fast: fallback 60 ms, poll 200 ms, revival 500 ms, deadline
    // 1200 ms, queued expiry 500 ms.
    static InspectorTiming fastTiming() {
        using namespace std::chrono_literals;
        return {60ms, 200ms, 500ms, 1200ms, 500ms};
    }

    // Starts the fake simulator and builds the connection (not started yet) with `timing`; every
    // callback is recorded, with its name and whether it came on the main thread.
    explicit ConnectionRig(const InspectorTiming& timing = fastTiming())
        : m_sim(std::make_unique<FakeSimulator>()) {
        m_sim->start();
        InspectorTiming::set(timing);
        m_connection = std::make_unique<WebInspectorConnection>(
            kDevice, std::make_shared<UnixTransport>(m_sim->socketPath()));
        InspectorTiming::set(InspectorTiming());
        m_connection->onApps = [this](QList<InspectorApp> list) {
            apps.append(std::move(list));
            heard("apps");
        };
        m_connection->onPages = [this](QList<InspectorPage> list) {
            pages.append(std::move(list));
            heard("pages");
        };
        m_connection->onEntry = [this](ConsoleEntry entry) {
            entries.push_back(std::move(entry));
            heard("entry");
        };
        m_connection->onCleared = [this](PageKey key) { heard(QString("cleared %1").arg(key.pageID)); };
        m_connection->onRepeat = [this](PageKey key, qint64 n) {
            heard(QString("repeat %1 %2").arg(key.pageID).arg(n));
        };
        // On the connection's queue; the owner hops to its own thread, as the hub does.
        m_connection->onClose = [this] {
            QMetaObject::invokeMethod(this, [this, thread = QThread::currentThread()->objectName()] {
                closeThread = thread;
                ++closes;
                heard("close");
            });
        };
    }

    FakeSimulator& sim() { return *m_sim; }
    WebInspectorConnection& connection() { return *m_connection; }
    FakeInspectorService& service() { return m_sim->service(); }
    std::vector<FakeInspectorService::Frame> frames(const QString& selector) {
        return service().received(selector);
    }
    PageKey key(const QString& appID, qint64 pageID) const { return {kDevice, appID, pageID}; }
    PageKey key(qint64 pageID) const { return key(kShop, pageID); }

    // The Shop application with `pages` (other applications added before stay), then start() and
    // setCapturing(true), the way the owner does it. False when start failed.
    bool openShop(const std::vector<Page>& pages) {
        m_sim->addApp({kShop, QStringLiteral("Shop"), std::nullopt, std::nullopt});
        for (const Page& page : pages)
            m_sim->addPage(kShop, page);
        if (m_connection->start())
            return false;
        m_connection->setCapturing(true);
        return true;
    }
    // The sender of the Shop page's open session once it has sent its enabling commands `times`
    // times; empty when it does not.
    QString enabledSender(qint64 pageID, int times = 1) {
        const auto session = m_sim->waitForSession(kShop, pageID, std::chrono::seconds(10));
        const auto enabled = [&] { return commandsOf(session->sender).size() >= std::size_t(4 * times); };
        return session && QTest::qWaitFor(enabled, 10000) ? session->sender : QString();
    }
    bool waitEnabled(qint64 pageID) { return !enabledSender(pageID).isEmpty(); }
    // Destroys the connection now (the owner dropping it).
    void dropConnection() { m_connection.reset(); }

    // Recorded on the main thread, in order. `order` names each callback: "apps", "pages", "entry",
    // "cleared <page>", "repeat <page> <count>", "close".
    QList<QList<InspectorApp>> apps;
    QList<QList<InspectorPage>> pages;
    std::vector<ConsoleEntry> entries;
    QStringList order;
    int closes = 0;
    QString closeThread;        // where onClose ran
    std::atomic<int> strays{0}; // callbacks that arrived off the main thread
    QList<QJsonObject> answers; // what request handlers got, with the thread they ran on

    WebInspectorConnection::ResponseHandler answer() {
        return [this](simdjson::dom::element response) {
            QJsonObject body =
                QJsonDocument::fromJson(QByteArray::fromStdString(simdjson::minify(response))).object();
            body.insert("thread", QThread::currentThread()->objectName());
            QMetaObject::invokeMethod(this, [this, body] { answers.append(body); });
        };
    }
    QList<InspectorPage> lastPages() const { return pages.isEmpty() ? QList<InspectorPage>() : pages.last(); }
    std::optional<InspectorPage> page(qint64 pageID) const {
        for (const InspectorPage& page : lastPages())
            if (page.key == key(pageID))
                return page;
        return std::nullopt;
    }
    QStringList texts() const {
        return pluck(entries, [](const ConsoleEntry& e) { return e.text; });
    }
    std::vector<ConsoleEntry> results() const {
        std::vector<ConsoleEntry> found = entries;
        std::erase_if(found, [](const ConsoleEntry& entry) { return entry.kind != EntryKind::result; });
        return found;
    }
    std::vector<Command> commandsOf(const QString& sender) const {
        std::vector<Command> found = m_sim->allCommands();
        std::erase_if(found, [&](const Command& command) { return command.sender != sender; });
        return found;
    }
    // The senders of the sessions we ended.
    QStringList closedSenders() {
        return pluck(frames("_rpc_forwardDidClose:"),
                     [](const auto& f) { return f.argument["WIRSenderKey"].toString(); });
    }
    // Lets the event loop run until the connection has polled `count` more times.
    bool waitForPolls(int count) {
        const std::size_t target = frames("_rpc_getConnectedApplications:").size() + std::size_t(count);
        return QTest::qWaitFor([&] { return frames("_rpc_getConnectedApplications:").size() >= target; },
                               10000);
    }

private:
    void heard(const QString& what) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            ++strays;
        order.append(what);
    }

    // In this order, so that the connection goes first.
    std::unique_ptr<FakeSimulator> m_sim;
    std::unique_ptr<WebInspectorConnection> m_connection;
};

// "Page <id>" at https://shop.example/<id>.
inline ConnectionRig::Page webPage(qint64 id, ConnectionRig::Targets targets = {}, QString target = {}) {
    auto page =
        FakeInspectorDaemon::page(id, QString("Page %1").arg(id), QString("https://shop.example/%1").arg(id));
    page.targets = targets;
    page.target = std::move(target);
    return page;
}

// A console message of the console API.
inline QJsonObject logMessage(const QString& text) {
    return {{"source", "console-api"}, {"level", "log"}, {"type", "log"}, {"text", text}};
}
