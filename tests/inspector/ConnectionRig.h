#pragma once

#include "inspector/ConsoleEntry.h"
#include "inspector/InspectorApp.h"
#include "inspector/InspectorPage.h"
#include "inspector/InspectorTiming.h"
#include "inspector/PageKey.h"
#include "inspector/WebInspectorConnection.h"
#include "support/FakeSimulator.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// "Page <id>" at https://shop.example/<id>.
FakeInspectorDaemon::Page webPage(qint64 id,
                                  FakeInspectorDaemon::Targets targets = FakeInspectorDaemon::Targets::none,
                                  const QString& target = {});
// A console message of the console API.
QJsonObject logMessage(const QString& text, const QString& level = QStringLiteral("log"));

// A real connection over a real unix socket to a fake simulator, with everything the connection
// reports to its owner recorded on the test's main thread.
class ConnectionRig : public QObject {
    Q_OBJECT

public:
    using Page = FakeInspectorDaemon::Page;
    using Targets = FakeInspectorDaemon::Targets;

    static inline const QString kDevice = QStringLiteral("SIM-1");
    // The application most cases use.
    static inline const QString kShop = QStringLiteral("PID:4711");

    // Short timings keep the suite fast: fallback 60 ms, poll 200 ms, revival 500 ms, deadline
    // 1200 ms, queued expiry 500 ms.
    static InspectorTiming fastTiming();

    // Starts the fake simulator and builds the connection (not started yet) with `timing`.
    explicit ConnectionRig(const InspectorTiming& timing = fastTiming());
    ~ConnectionRig() override;

    FakeSimulator& sim() { return *m_sim; }
    WebInspectorConnection& connection() { return *m_connection; }
    FakeInspectorService& service() { return m_sim->service(); }

    // start() and then setCapturing, the way the owner does it. False when start failed.
    bool start(bool capturing = true);
    // The Shop application with `pages`, then start(). False when start failed.
    bool openShop(const std::vector<Page>& pages);
    // Waits until the Shop page's session has sent its last enabling command.
    bool waitEnabled(qint64 pageID);
    // Destroys the connection now (the owner dropping it).
    void dropConnection();

    PageKey key(const QString& appID, qint64 pageID) const { return {kDevice, appID, pageID}; }
    PageKey key(qint64 pageID) const { return key(kShop, pageID); }

    // Recorded on the main thread, in order.
    QList<QList<InspectorApp>> apps;
    QList<QList<InspectorPage>> pages;
    std::vector<ConsoleEntry> entries;
    QList<PageKey> cleared;
    QList<std::pair<PageKey, qint64>> repeats;
    // "apps", "pages", "entry", "cleared", "repeat" and "close" in the order they arrived here.
    QStringList order;
    int closes = 0;

    // The thread onClose ran on (its name), recorded there.
    QString closeThreadName() const;
    // Callbacks that arrived off the main thread.
    int strayCallbacks() const { return m_stray.load(); }

    QList<InspectorPage> lastPages() const { return pages.isEmpty() ? QList<InspectorPage>() : pages.last(); }
    QList<InspectorApp> lastApps() const { return apps.isEmpty() ? QList<InspectorApp>() : apps.last(); }
    std::optional<InspectorPage> page(const PageKey& key) const;
    QStringList texts() const;
    int countText(const QString& text) const { return int(texts().count(text)); }
    // Entries the connection wrote itself ("tavolin" source).
    std::vector<ConsoleEntry> reports() const;
    std::vector<ConsoleEntry> results() const;

    // Frames of one selector the service received, and those naming one session's sender.
    std::vector<FakeInspectorService::Frame> frames(const QString& selector) const;
    QStringList closedSenders() const;
    int setupCount(const QString& appID, qint64 pageID) const;

    // Lets the event loop run until the connection has polled `count` more times.
    bool waitForPolls(int count);

private:
    void checkThread();

    std::unique_ptr<FakeSimulator> m_sim;
    std::unique_ptr<WebInspectorConnection> m_connection;
    std::atomic<int> m_stray{0};
    mutable std::mutex m_lock;
    QString m_closeThread;
};

// What request handlers saw, written on the connection's queue and read on the test's thread.
struct Answers {
    std::mutex lock;
    QList<QJsonObject> bodies;
    QStringList threads;

    WebInspectorConnection::ResponseHandler handler();
    qsizetype count();
    QJsonObject body(qsizetype i);
    QString errorMessage(qsizetype i) {
        return body(i).value("error").toObject().value("message").toString();
    }
};
