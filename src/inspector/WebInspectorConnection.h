#pragma once

#include "inspector/ConnectionEvents.h"
#include "inspector/ConsoleEntry.h"
#include "inspector/InspectorApp.h"
#include "inspector/InspectorPage.h"
#include "inspector/PageKey.h"
#include "inspector/PropertyNode.h"
#include "wire/WIRError.h"
#include "wire/WIRTransport.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <simdjson.h>

class ConnectionWorker;
class FrameInbox;
class QThread;

// The link to one device's Web Inspector service.
//
// Lives on the thread that made it (the main thread in the program). All inspector state lives on
// a worker thread of its own, named "tavolin.inspector.<udid>", which plays the part of the
// connection's serial queue: every public call only schedules work there. The socket's read thread
// hands frames to that queue through an inbox; the queue hands results back to this object's thread
// in order, in batches.
class WebInspectorConnection : public QObject {
    Q_OBJECT

public:
    // Called on the owner's thread, asynchronously and in the order the connection produced them.
    std::function<void(QList<InspectorApp>)> onApps;
    std::function<void(QList<InspectorPage>)> onPages;
    std::function<void(ConsoleEntry)> onEntry;
    // When set, takes the entries in place of onEntry: each run of entries that the queue produced
    // with nothing else between them, in one call.
    std::function<void(QList<ConsoleEntry>)> onEntries;
    std::function<void(ConnectionEvents::Cleared)> onCleared;
    std::function<void(PageKey, qint64)> onRepeat;
    // Called on the connection's queue once the link has ended and the empty lists were sent.
    std::function<void()> onClose;

    // An answer to a request; runs on the connection's queue and must not block. The element is
    // the whole response, or {"error": {"message": ...}} when the request timed out.
    using ResponseHandler = std::function<void(simdjson::dom::element response)>;

    WebInspectorConnection(QString deviceID, std::shared_ptr<WIRTransport> transport,
                           QObject* parent = nullptr);
    ~WebInspectorConnection() override;

    const QString& deviceID() const { return m_deviceID; }
    // This client's identifier towards the service (upper-case UUID text).
    const QString& connectionID() const { return m_connectionID; }
    // The label of the connection's queue (and the name of its thread).
    QString queueLabel() const;

    // Opens the link and starts the conversation. Blocks while the transport opens.
    std::optional<WIRError> start();
    // Switches the opening of page sessions on or off; off hands every page back.
    void setCapturing(bool on);
    // Ends the connection: every session is ended, the socket shut, then onClose follows.
    void stop();
    // Asks the device to highlight a page's webview, or to stop.
    void indicate(const PageKey& page, bool enabled);
    // Sends a command into a page's session. Nothing happens (the handler is never called) when the
    // page has no session.
    void request(const QString& method, const QJsonObject& params, const PageKey& page,
                 ResponseHandler handler);

    // Runs JavaScript in a page; exactly one result entry comes back through onEntry while the
    // connection lives (the answer, or an error after a time limit), naming `evaluation` as the
    // evaluation it answers. With `awaitPromise` a promise is waited for and its outcome is the result.
    void evaluate(const QString& expression, const PageKey& page, const QUuid& evaluation = {},
                  bool awaitPromise = false);

    // Requests about page-side objects and the page itself. The completions are called on the
    // owner's thread, and never once this connection is gone. Except for snapshot, nothing is sent
    // and the completion is never called when the page has no session.
    //
    // The rows of a remote object, in display order; a single unnamed row when it cannot be read.
    void properties(const QString& objectID, const PageKey& page,
                    std::function<void(QList<PropertyNode>)> completion);
    // Property names reachable from `base` (the global object when absent), for completing input.
    void completions(const std::optional<QString>& base, const PageKey& page,
                     std::function<void(QStringList)> completion);
    // A remote object as JSON or as a JavaScript literal; nothing when the page cannot produce it.
    void serialize(const QString& objectID, const PageKey& page, bool asJSON,
                   std::function<void(std::optional<QString>)> completion);
    // The page (the whole document, or the visible viewport) as image data in the page's own
    // encoding; nothing when it cannot be captured. Called exactly once, also when the link ends or
    // the connection goes first (with nothing then).
    void snapshot(const PageKey& page, bool fullPage,
                  std::function<void(std::optional<QByteArray>)> completion);

    // Caps on what may wait for the owner's thread before the link stops reading: the device then
    // waits instead of the program's memory growing.
    static constexpr int kMaxEntriesInFlight = 50'000;

private:
    friend class ConnectionWorker;
    using Task = std::function<void(ConnectionWorker&)>;

    // Runs `task` on the connection's queue, after the tasks scheduled before it.
    void schedule(Task task);
    // On the queue: the tasks waiting to run.
    std::vector<Task> takeTasks();
    // Called on the queue: true when a delivery has to be signalled (none is pending).
    bool queueDelivery(ConnectionEvents::Batch batch);
    // On the owner's thread: hands every waiting batch to the callbacks.
    void deliverPending();
    // One run of entries, to onEntries or else entry by entry to onEntry while `alive`.
    void deliverEntries(QList<ConsoleEntry> entries, const QPointer<QObject>& alive);

signals:
    // Tasks are waiting for the queue.
    void tasksPending();

private:
    const QString m_deviceID;
    const QString m_connectionID;
    std::shared_ptr<WIRTransport> m_transport;
    std::shared_ptr<FrameInbox> m_inbox;
    QThread* m_thread = nullptr;
    ConnectionWorker* m_worker = nullptr;
    bool m_started = false;
    std::mutex m_taskLock;
    std::vector<Task> m_tasks; // guarded by m_taskLock
    std::mutex m_deliveryLock;
    std::vector<ConnectionEvents::Batch> m_deliveries; // guarded by m_deliveryLock
    // On the owner's thread: the snapshots not answered yet, which the destructor answers.
    std::map<quint64, std::function<void(std::optional<QByteArray>)>> m_snapshots;
    quint64 m_nextSnapshot = 1;
};
