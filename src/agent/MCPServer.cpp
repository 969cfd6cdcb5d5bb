#include "agent/MCPServer.h"

#include "agent/HttpConnection.h"
#include "agent/HttpRequest.h"
#include "base/Logging.h"
#include "base/Preferences.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>
#include <memory>

namespace {

bool isLoopbackName(QByteArrayView host) {
    const QByteArray lower = host.toByteArray().toLower();
    return lower == "127.0.0.1" || lower == "localhost" || lower == "[::1]";
}

// A Host value: a name or an address, optionally followed by ":port".
bool isLoopbackHost(QByteArrayView value) {
    QByteArrayView host = value;
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        if (close < 0)
            return false;
        const QByteArrayView rest = host.sliced(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(':'))
            return false;
        host = host.first(close + 1);
    } else if (const qsizetype colon = host.indexOf(':'); colon >= 0) {
        host = host.first(colon);
    }
    return isLoopbackName(host);
}

// An Origin value: "scheme://host[:port]"; "null" and anything unparsable count as foreign.
bool isLoopbackOrigin(QByteArrayView value) {
    const QUrl url(QString::fromUtf8(value), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString host = url.host();
    return host == "127.0.0.1" || host.compare("localhost", Qt::CaseInsensitive) == 0 || host == "::1";
}

// A Content-Type value naming JSON, parameters such as "; charset=utf-8" allowed.
bool isJsonContentType(QByteArrayView value) {
    if (const qsizetype semicolon = value.indexOf(';'); semicolon >= 0)
        value = value.first(semicolon);
    return value.trimmed().compare("application/json", Qt::CaseInsensitive) == 0;
}

void defaultHandler(const QJsonObject& message, const MCPServer::Reply& reply) {
    // Until the tools are plugged in, every request is for an unknown method.
    if (!message.contains("id")) {
        reply(std::nullopt);
        return;
    }
    const QString method = message.value("method").toString();
    reply(QJsonObject{{"jsonrpc", "2.0"},
                      {"id", message.value("id")},
                      {"error", QJsonObject{{"code", -32601}, {"message", "Unknown method " + method}}}});
}

} // namespace

MCPServer::MCPServer(QObject* parent) : QObject(parent), m_handler(defaultHandler) {}

MCPServer::~MCPServer() = default;

MCPServer& MCPServer::shared() {
    static MCPServer* instance = new MCPServer;
    return *instance;
}

void MCPServer::configure(MessageHandler handler) {
    setMessageHandler(std::move(handler));
    if (isEnabled())
        start();
}

void MCPServer::setMessageHandler(MessageHandler handler) {
    m_handler = handler ? std::move(handler) : MessageHandler(defaultHandler);
}

bool MCPServer::isEnabled() {
    return Preferences::mcpEnabled();
}

void MCPServer::setEnabled(bool enabled) {
    Preferences::setMcpEnabled(enabled);
    if (enabled)
        start();
    else
        stop();
}

quint16 MCPServer::port() const {
    if (m_portOverride)
        return *m_portOverride;
    return quint16(Preferences::mcpPort());
}

void MCPServer::setPort(quint16 newPort) {
    const quint16 effective = newPort == 0 ? kDefaultPort : newPort;
    if (effective == port())
        return;
    Preferences::setMcpPort(newPort);
    emit portChanged(effective);
    if (m_running) {
        stop();
        start();
    }
}

void MCPServer::overridePort(quint16 port) {
    const quint16 before = this->port();
    m_portOverride = port == 0 ? kDefaultPort : port;
    if (before == *m_portOverride)
        return;
    emit portChanged(*m_portOverride);
    if (m_running) {
        stop();
        start();
    }
}

QString MCPServer::endpoint() const {
    return QStringLiteral("http://127.0.0.1:%1/mcp").arg(port());
}

void MCPServer::start() {
    if (m_listener)
        return;
    auto listener = std::make_unique<QTcpServer>(this);
    // QTcpServer allows local address reuse on its own.
    if (!listener->listen(QHostAddress::LocalHost, port())) {
        qCWarning(lcAgent) << "cannot listen on port" << port() << ":" << listener->errorString();
        setLastError(listener->errorString());
        setRunning(false);
        return;
    }
    connect(listener.get(), &QTcpServer::newConnection, this, &MCPServer::acceptConnections);
    QTcpServer* raw = listener.get();
    connect(raw, &QTcpServer::acceptError, this, [this, raw](QAbstractSocket::SocketError) {
        if (m_listener != raw)
            return;
        qCWarning(lcAgent) << "stopped accepting connections:" << raw->errorString();
        setLastError(raw->errorString());
        stop();
    });
    m_listener = listener.release();
    setRunning(true);
    setLastError(std::nullopt);
}

void MCPServer::stop() {
    if (m_listener) {
        m_listener->close();
        m_listener->deleteLater();
        m_listener = nullptr;
    }
    setRunning(false);
}

void MCPServer::setRunning(bool running) {
    if (running == m_running)
        return;
    m_running = running;
    emit isRunningChanged(running);
}

void MCPServer::setLastError(std::optional<QString> error) {
    if (error == m_lastError)
        return;
    m_lastError = std::move(error);
    emit lastErrorChanged(m_lastError);
}

void MCPServer::acceptConnections() {
    // Beyond the limit, connections wait in the listener's queue (which stops accepting when
    // full) until one of ours finishes.
    while (m_listener && m_connections < kMaxConnections && m_listener->hasPendingConnections()) {
        QTcpSocket* socket = m_listener->nextPendingConnection();
        if (!socket)
            break;
        auto* connection = new HttpConnection(socket, m_requestTimeout, this);
        ++m_connections;
        connect(connection, &HttpConnection::finished, this, [this] {
            --m_connections;
            QMetaObject::invokeMethod(this, &MCPServer::acceptConnections, Qt::QueuedConnection);
        });
        connect(connection, &HttpConnection::requestReceived, this,
                [this, connection](const HttpRequest& request) { respond(connection, request); });
    }
}

void MCPServer::respond(HttpConnection* connection, const HttpRequest& request) {
    for (const QByteArray& origin : request.origins) {
        if (!isLoopbackOrigin(origin)) {
            qCWarning(lcAgent) << "refused a request from origin" << origin;
            return connection->respond(403);
        }
    }
    for (const QByteArray& host : request.hosts) {
        if (!isLoopbackHost(host)) {
            qCWarning(lcAgent) << "refused a request for host" << host;
            return connection->respond(403);
        }
    }
    if (request.method != "POST") {
        qCDebug(lcAgent) << "not a POST:" << request.method;
        return connection->respond(request.method == "GET" ? 405 : 404);
    }
    // A page can send JSON across origins only after a preflight, which is never granted here;
    // any other type it can send without one, so it is refused before the body is read.
    if (request.contentTypes.isEmpty() ||
        !std::all_of(request.contentTypes.cbegin(), request.contentTypes.cend(), isJsonContentType)) {
        qCWarning(lcAgent) << "refused a request with content type" << request.contentTypes;
        return connection->respond(415);
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(lcAgent) << "refused a body that is not a JSON object:" << error.errorString();
        return connection->respond(400);
    }
    qCDebug(lcAgent) << "message" << document.object().value("method").toString();

    QPointer<HttpConnection> target(connection);
    auto answered = std::make_shared<bool>(false);
    m_handler(document.object(), [target, answered](std::optional<QJsonObject> response) {
        if (*answered)
            return;
        *answered = true;
        if (!target) {
            qCDebug(lcAgent) << "the client left before its reply";
            return;
        }
        if (!response)
            return target->respond(202);
        target->respond(200, QJsonDocument(*response).toJson(QJsonDocument::Compact));
    });
}
