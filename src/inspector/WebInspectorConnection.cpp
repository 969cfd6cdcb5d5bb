#include "inspector/WebInspectorConnection.h"

#include "base/Logging.h"
#include "base/Uuid.h"
#include "inspector/ConnectionWorker.h"
#include "inspector/PageRequests.h"
#include "wire/FrameInbox.h"
#include "wire/WIRSocket.h"

#include <QPointer>
#include <QThread>

#include <future>

namespace {

// Sends into a page's session; only for use on the worker's thread. With `endsWithSession`, a
// request still out when the session ends is answered with an error instead of being dropped.
PageRequests::Send sendInto(ConnectionWorker* worker, const PageKey& page, bool endsWithSession = false) {
    return [worker, page, endsWithSession](const QString& method, const QJsonObject& params,
                                           PageRequests::Handler handler) {
        return worker->request(method, params, page, std::move(handler), endsWithSession);
    };
}

// A completion that, called on the connection's queue, runs on the owner's thread, after what the
// queue delivered before it, and not at all once the connection is gone.
template <typename T>
std::function<void(T)> onOwnerThread(ConnectionWorker* worker, std::function<void(T)> completion) {
    return [worker, completion = std::move(completion)](T value) {
        if (!completion)
            return;
        worker->post(std::function<void()>(
            [completion, value = std::move(value)]() mutable { completion(std::move(value)); }));
    };
}

} // namespace

WebInspectorConnection::WebInspectorConnection(QString deviceID, std::shared_ptr<WIRTransport> transport,
                                               QObject* parent)
    : QObject(parent), m_deviceID(std::move(deviceID)), m_connectionID(Uuid::text(Uuid::create())),
      m_transport(std::move(transport)), m_inbox(std::make_shared<FrameInbox>(kMaxEntriesInFlight)) {
    m_thread = new QThread();
    m_thread->setObjectName(queueLabel());
    m_worker = new ConnectionWorker(this, m_deviceID, m_connectionID, m_inbox, InspectorTiming::current());
    m_worker->moveToThread(m_thread);
    // Every hand-over between threads is a queued signal wired here, before the thread starts; what
    // it hands over waits under a lock of ours (tasks, deliveries, the inbox), never in the call.
    ConnectionWorker* worker = m_worker;
    QObject::connect(this, &WebInspectorConnection::tasksPending, worker, &ConnectionWorker::runTasks,
                     Qt::QueuedConnection);
    QObject::connect(worker, &ConnectionWorker::framesPending, worker, &ConnectionWorker::drain,
                     Qt::QueuedConnection);
    QObject::connect(worker, &ConnectionWorker::deliveriesPending, this,
                     &WebInspectorConnection::deliverPending, Qt::QueuedConnection);
    m_inbox->setScheduler([worker] { emit worker->framesPending(); });
    m_thread->start();
}

WebInspectorConnection::~WebInspectorConnection() {
    // Nothing may reach the worker or this object once they are gone: the reader is released
    // for good, and the worker is deleted on its own thread before the thread ends.
    m_inbox->shutdown();
    // The worker lets go of everything and deletes itself on its own thread; this thread waits for
    // that before the thread ends.
    std::promise<void> gone;
    std::future<void> waited = gone.get_future();
    schedule([&gone](ConnectionWorker& worker) {
        worker.detach();
        worker.deleteAfterTasks(&gone);
    });
    waited.wait();
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
    // Their callers have no time limit of their own.
    if (!m_snapshots.empty())
        qCWarning(lcInspector) << m_snapshots.size() << "snapshots end unanswered with the connection";
    for (auto& [id, completion] : std::exchange(m_snapshots, {}))
        completion(std::nullopt);
}

QString WebInspectorConnection::queueLabel() const {
    return QStringLiteral("tavolin.inspector.") + m_deviceID;
}

std::optional<WIRError> WebInspectorConnection::start() {
    if (m_started)
        return std::nullopt;
    std::weak_ptr<FrameInbox> inbox = m_inbox;
    auto socket = WIRSocket::create(
        m_transport,
        [inbox](QString selector, QVariantMap argument) {
            if (auto target = inbox.lock())
                target->push({std::move(selector), std::move(argument)});
        },
        [inbox](QString reason) {
            if (auto target = inbox.lock())
                target->pushClose(std::move(reason));
        });
    if (auto error = socket->open())
        return error;
    m_started = true;
    schedule([socket](ConnectionWorker& worker) { worker.begin(socket); });
    return std::nullopt;
}

void WebInspectorConnection::setCapturing(bool on) {
    schedule([on](ConnectionWorker& worker) { worker.setCapturing(on); });
}

void WebInspectorConnection::stop() {
    schedule([](ConnectionWorker& worker) { worker.stop(); });
}

void WebInspectorConnection::indicate(const PageKey& page, bool enabled) {
    schedule([page, enabled](ConnectionWorker& worker) { worker.indicate(page, enabled); });
}

void WebInspectorConnection::request(const QString& method, const QJsonObject& params, const PageKey& page,
                                     ResponseHandler handler) {
    schedule([method, params, page, handler = std::move(handler)](ConnectionWorker& worker) mutable {
        worker.request(method, params, page, std::move(handler));
    });
}

void WebInspectorConnection::evaluate(const QString& expression, const PageKey& page, const QUuid& evaluation,
                                      bool awaitPromise) {
    schedule([expression, page, evaluation, awaitPromise](ConnectionWorker& worker) {
        worker.evaluate(expression, page, evaluation, awaitPromise);
    });
}

// Each of these hands its completion a wrapper that posts to this object. That is safe from the
// queue: handlers only run there while the worker lives, and the destructor waits for the worker
// to be deleted before this object goes, which drops whatever was posted to it.

void WebInspectorConnection::properties(const QString& objectID, const PageKey& page,
                                        std::function<void(QList<PropertyNode>)> completion) {
    ConnectionWorker* worker = m_worker;
    schedule([worker, objectID, page, done = onOwnerThread(worker, std::move(completion))](
                 ConnectionWorker&) { PageRequests::properties(sendInto(worker, page), objectID, done); });
}

void WebInspectorConnection::completions(const std::optional<QString>& base, const PageKey& page,
                                         std::function<void(QStringList)> completion) {
    ConnectionWorker* worker = m_worker;
    schedule([worker, base, page, done = onOwnerThread(worker, std::move(completion))](ConnectionWorker&) {
        PageRequests::completions(sendInto(worker, page), base, done);
    });
}

void WebInspectorConnection::serialize(const QString& objectID, const PageKey& page, bool asJSON,
                                       std::function<void(std::optional<QString>)> completion) {
    ConnectionWorker* worker = m_worker;
    schedule([worker, objectID, page, asJSON,
              done = onOwnerThread(worker, std::move(completion))](ConnectionWorker&) {
        PageRequests::serialize(sendInto(worker, page), objectID, asJSON, done);
    });
}

void WebInspectorConnection::snapshot(const PageKey& page, bool fullPage,
                                      std::function<void(std::optional<QByteArray>)> completion) {
    if (!completion)
        return;
    // Its callers have no time limit of their own: it must always end, even when the connection
    // goes with the answer still on its way.
    const quint64 id = m_nextSnapshot++;
    m_snapshots.emplace(id, std::move(completion));
    std::function<void(std::optional<QByteArray>)> answered = [this, id](std::optional<QByteArray> image) {
        const auto it = m_snapshots.find(id);
        if (it == m_snapshots.end())
            return;
        const auto completion = std::move(it->second);
        m_snapshots.erase(it);
        completion(std::move(image));
    };
    ConnectionWorker* worker = m_worker;
    schedule([worker, page, fullPage, done = onOwnerThread(worker, std::move(answered))](ConnectionWorker&) {
        PageRequests::snapshot(sendInto(worker, page, true), fullPage, done);
    });
}

void WebInspectorConnection::schedule(Task task) {
    bool first;
    {
        std::lock_guard lock(m_taskLock);
        m_tasks.push_back(std::move(task));
        first = m_tasks.size() == 1;
    }
    if (first)
        emit tasksPending();
}

std::vector<WebInspectorConnection::Task> WebInspectorConnection::takeTasks() {
    std::lock_guard lock(m_taskLock);
    std::vector<Task> tasks;
    tasks.swap(m_tasks);
    return tasks;
}

bool WebInspectorConnection::queueDelivery(ConnectionEvents::Batch batch) {
    std::lock_guard lock(m_deliveryLock);
    m_deliveries.push_back(std::move(batch));
    return m_deliveries.size() == 1;
}

void WebInspectorConnection::deliverEntries(QList<ConsoleEntry> entries, const QPointer<QObject>& alive) {
    if (onEntries) {
        onEntries(std::move(entries));
        return;
    }
    for (ConsoleEntry& entry : entries) {
        if (!alive || !onEntry)
            return;
        onEntry(std::move(entry));
    }
}

void WebInspectorConnection::deliverPending() {
    std::vector<ConnectionEvents::Batch> batches;
    {
        std::lock_guard lock(m_deliveryLock);
        batches.swap(m_deliveries);
    }
    // A callback may delete this connection; stop at once when one does.
    QPointer<QObject> alive(this);
    std::shared_ptr<FrameInbox> inbox = m_inbox;
    int entries = 0;
    for (const ConnectionEvents::Batch& batch : batches)
        for (const ConnectionEvents::Event& event : batch)
            if (const auto* run = std::get_if<ConnectionEvents::Entries>(&event))
                entries += int(run->entries.size());
            else
                entries += std::holds_alternative<ConsoleEntry>(event) ? 1 : 0;
    for (ConnectionEvents::Batch& batch : batches) {
        for (ConnectionEvents::Event& event : batch) {
            if (!alive)
                break;
            std::visit(
                [&](auto& value) {
                    using T = std::decay_t<decltype(value)>;
                    if constexpr (std::is_same_v<T, ConnectionEvents::Apps>) {
                        if (onApps)
                            onApps(std::move(value.apps));
                    } else if constexpr (std::is_same_v<T, ConnectionEvents::Pages>) {
                        if (onPages)
                            onPages(std::move(value.pages));
                    } else if constexpr (std::is_same_v<T, ConsoleEntry>) {
                        deliverEntries({std::move(value)}, alive);
                    } else if constexpr (std::is_same_v<T, ConnectionEvents::Entries>) {
                        deliverEntries(std::move(value.entries), alive);
                    } else if constexpr (std::is_same_v<T, ConnectionEvents::Cleared>) {
                        if (onCleared)
                            onCleared(std::move(value));
                    } else if constexpr (std::is_same_v<T, ConnectionEvents::Repeat>) {
                        if (onRepeat)
                            onRepeat(value.page, value.count);
                    } else {
                        if (value)
                            value();
                    }
                },
                event);
        }
        // What it held has moved on: its memory goes now, not after the whole delivery.
        ConnectionEvents::Batch().swap(batch);
    }
    inbox->entriesDelivered(entries);
}
