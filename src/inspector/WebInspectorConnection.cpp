#include "inspector/WebInspectorConnection.h"

#include "console/Uuid.h"
#include "inspector/ConnectionWorker.h"
#include "inspector/FrameInbox.h"
#include "inspector/PageRequests.h"
#include "inspector/WIRSocket.h"

#include <QPointer>
#include <QThread>

namespace {

// Sends into a page's session; only for use on the worker's thread. With `endsWithSession`, a
// request still out when the session ends is answered with an error instead of being dropped.
PageRequests::Send sendInto(ConnectionWorker* worker, const PageKey& page, bool endsWithSession = false) {
    return [worker, page, endsWithSession](const QString& method, const QJsonObject& params,
                                           PageRequests::Handler handler) {
        return worker->request(method, params, page, std::move(handler), endsWithSession);
    };
}

// A completion that, called on any thread, runs on the thread of `context`, and not at all once
// `context` is gone.
template <typename T> std::function<void(T)> onThreadOf(QObject* context, std::function<void(T)> completion) {
    return [context, completion = std::move(completion)](T value) {
        if (!completion)
            return;
        QMetaObject::invokeMethod(
            context, [completion, value = std::move(value)]() mutable { completion(std::move(value)); },
            Qt::QueuedConnection);
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
    ConnectionWorker* worker = m_worker;
    m_inbox->setScheduler([worker] { QMetaObject::invokeMethod(worker, &ConnectionWorker::drain, Qt::QueuedConnection); });
    m_thread->start();
}

WebInspectorConnection::~WebInspectorConnection() {
    // Nothing may reach the worker or this object once they are gone: the reader is released
    // for good, and the worker is deleted on its own thread before the thread ends.
    m_inbox->shutdown();
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker] {
            worker->detach();
            delete worker;
        },
        Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

QString WebInspectorConnection::queueLabel() const { return QStringLiteral("tavolin.inspector.") + m_deviceID; }

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
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, socket] { worker->begin(socket); }, Qt::QueuedConnection);
    return std::nullopt;
}

void WebInspectorConnection::setCapturing(bool on) {
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, on] { worker->setCapturing(on); }, Qt::QueuedConnection);
}

void WebInspectorConnection::stop() {
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->stop(); }, Qt::QueuedConnection);
}

void WebInspectorConnection::indicate(const PageKey& page, bool enabled) {
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, page, enabled] { worker->indicate(page, enabled); },
                              Qt::QueuedConnection);
}

void WebInspectorConnection::request(const QString& method, const QJsonObject& params, const PageKey& page,
                                     ResponseHandler handler) {
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, method, params, page, handler = std::move(handler)]() mutable {
            worker->request(method, params, page, std::move(handler));
        },
        Qt::QueuedConnection);
}

void WebInspectorConnection::evaluate(const QString& expression, const PageKey& page) {
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, expression, page] { worker->evaluate(expression, page); },
                              Qt::QueuedConnection);
}

// Each of these hands its completion a wrapper that posts to this object. That is safe from the
// queue: handlers only run there while the worker lives, and the destructor waits for the worker
// to be deleted before this object goes, which drops whatever was posted to it.

void WebInspectorConnection::properties(const QString& objectID, const PageKey& page,
                                        std::function<void(QList<PropertyNode>)> completion) {
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, objectID, page, done = onThreadOf(this, std::move(completion))] {
            PageRequests::properties(sendInto(worker, page), objectID, done);
        },
        Qt::QueuedConnection);
}

void WebInspectorConnection::completions(const std::optional<QString>& base, const PageKey& page,
                                         std::function<void(QStringList)> completion) {
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, base, page, done = onThreadOf(this, std::move(completion))] {
            PageRequests::completions(sendInto(worker, page), base, done);
        },
        Qt::QueuedConnection);
}

void WebInspectorConnection::serialize(const QString& objectID, const PageKey& page, bool asJSON,
                                       std::function<void(std::optional<QString>)> completion) {
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, objectID, page, asJSON, done = onThreadOf(this, std::move(completion))] {
            PageRequests::serialize(sendInto(worker, page), objectID, asJSON, done);
        },
        Qt::QueuedConnection);
}

void WebInspectorConnection::snapshot(const PageKey& page, bool fullPage,
                                      std::function<void(std::optional<QByteArray>)> completion) {
    ConnectionWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, page, fullPage, done = onThreadOf(this, std::move(completion))] {
            // Its callers have no time limit of their own: it must always end.
            PageRequests::snapshot(sendInto(worker, page, true), fullPage, done);
        },
        Qt::QueuedConnection);
}

void WebInspectorConnection::deliverBatch(void* opaque) {
    auto* batch = static_cast<ConnectionWorker::Batch*>(opaque);
    // A callback may delete this connection; stop at once when one does.
    QPointer<WebInspectorConnection> alive(this);
    std::shared_ptr<FrameInbox> inbox = m_inbox;
    int entries = 0;
    for (const ConnectionWorker::Event& event : *batch)
        entries += std::holds_alternative<ConsoleEntry>(event) ? 1 : 0;
    for (ConnectionWorker::Event& event : *batch) {
        if (!alive)
            break;
        std::visit(
            [&](auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, ConnectionWorker::AppsEvent>) {
                    if (onApps)
                        onApps(std::move(value.apps));
                } else if constexpr (std::is_same_v<T, ConnectionWorker::PagesEvent>) {
                    if (onPages)
                        onPages(std::move(value.pages));
                } else if constexpr (std::is_same_v<T, ConsoleEntry>) {
                    if (onEntry)
                        onEntry(std::move(value));
                } else if constexpr (std::is_same_v<T, ConnectionWorker::ClearedEvent>) {
                    if (onCleared)
                        onCleared(value.page);
                } else if constexpr (std::is_same_v<T, ConnectionWorker::RepeatEvent>) {
                    if (onRepeat)
                        onRepeat(value.page, value.count);
                } else {
                    if (value)
                        value();
                }
            },
            event);
    }
    inbox->entriesDelivered(entries);
}
