#pragma once

#include "inspector/InspectorTiming.h"
#include "inspector/WebInspectorConnection.h"
#include "support/FakeSimulator.h"

#include <atomic>
#include <memory>

// "Page <id>" at https://shop.example/<id>.
FakeInspectorDaemon::Page webPage(qint64 id,
                                  FakeInspectorDaemon::Targets targets = FakeInspectorDaemon::Targets::none,
                                  const QString& target = {});
// A console message of the console API.
QJsonObject logMessage(const QString& text);

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
    Q_OBJECT

public:
    using Page = FakeInspectorDaemon::Page;
    using Targets = FakeInspectorDaemon::Targets;
    using Command = FakeInspectorDaemon::Command;

    static inline const QString kDevice = QStringLiteral("SIM-1");
    static inline const QString kShop = QStringLiteral("PID:4711");
    static inline const QString kQueue = QStringLiteral("tavolin.inspector.SIM-1");

    // Short timings keep the suites fast: fallback 60 ms, poll 200 ms, revival 500 ms, deadline
    // 1200 ms, queued expiry 500 ms.
    static InspectorTiming fastTiming();

    // Starts the fake simulator and builds the connection (not started yet) with `timing`.
    explicit ConnectionRig(const InspectorTiming& timing = fastTiming());
    ~ConnectionRig() override;

    FakeSimulator& sim() { return *m_sim; }
    WebInspectorConnection& connection() { return *m_connection; }
    FakeInspectorService& service() { return m_sim->service(); }
    std::vector<FakeInspectorService::Frame> frames(const QString& selector) {
        return service().received(selector);
    }

    // start() and then setCapturing(true), the way the owner does it. False when start failed.
    bool start();
    // The Shop application with `pages`, then start().
    bool openShop(const std::vector<Page>& pages);
    // The sender of the Shop page's open session once it has sent its enabling commands `times`
    // times; empty when it does not.
    QString enabledSender(qint64 pageID, int times = 1);
    bool waitEnabled(qint64 pageID) { return !enabledSender(pageID).isEmpty(); }
    // Destroys the connection now (the owner dropping it).
    void dropConnection() { m_connection.reset(); }

    PageKey key(const QString& appID, qint64 pageID) const { return {kDevice, appID, pageID}; }
    PageKey key(qint64 pageID) const { return key(kShop, pageID); }

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
    WebInspectorConnection::ResponseHandler answer();

    QList<InspectorPage> lastPages() const { return pages.isEmpty() ? QList<InspectorPage>() : pages.last(); }
    std::optional<InspectorPage> page(qint64 pageID, const QString& appID = kShop) const;
    QStringList texts() const {
        return pluck(entries, [](const ConsoleEntry& entry) { return entry.text; });
    }
    std::vector<ConsoleEntry> results() const;
    std::vector<Command> commandsOf(const QString& sender) const;
    // The methods of the commands sent to a page.
    QStringList methods(qint64 pageID) const;
    // The senders of the sessions we ended.
    QStringList closedSenders();
    // Lets the event loop run until the connection has polled `count` more times.
    bool waitForPolls(int count);

private:
    void heard(const QString& what);

    std::unique_ptr<FakeSimulator> m_sim;
    std::unique_ptr<WebInspectorConnection> m_connection;
};
