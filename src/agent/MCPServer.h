#pragma once

#include "base/Preferences.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class HttpConnection;
class QTcpServer;
struct HttpRequest;

// The agent endpoint: HTTP/1.1 on 127.0.0.1, one request per connection, one JSON-RPC message per
// POST, answered with one JSON body.
//
// The endpoint itself answers 405 to GET, 404 to any other method but POST, 400 to a body that is
// not a JSON object, 403 to a request that names a foreign Origin or Host (a web page reaching for
// the loopback port), 415 to a POST whose Content-Type is not application/json, and 413 to a request beyond
// the parser's bounds. A JSON object goes to the message handler, which replies once: with a response object
// (200) or with nothing, for a notification (202).
//
// Lives on the main thread; every connection and every reply is handled there. Stopping the
// listener leaves connections already accepted to finish.
class MCPServer : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(std::optional<QString> lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(quint16 port READ port WRITE setPort NOTIFY portChanged)
    Q_PROPERTY(QString endpoint READ endpoint NOTIFY portChanged)

public:
    static constexpr quint16 kDefaultPort = Preferences::kDefaultMcpPort;
    static constexpr int kMaxConnections = 64;
    static constexpr std::chrono::milliseconds kDefaultRequestTimeout{30000};

    // Called exactly once per message; later calls are ignored. A reply for a connection that has
    // gone meanwhile is dropped.
    using Reply = std::function<void(std::optional<QJsonObject> response)>;
    using MessageHandler = std::function<void(const QJsonObject& message, Reply reply)>;

    explicit MCPServer(QObject* parent = nullptr);
    ~MCPServer() override;

    // The process-wide server, created on first use on the main thread.
    static MCPServer& shared();

    // Installs the message handler, then starts listening when the user turned the endpoint on.
    void configure(MessageHandler handler);
    void setMessageHandler(MessageHandler handler);

    // Both safe in any state. A listener that cannot be created leaves lastError set.
    void start();
    void stop();

    // The user's switch: stores "mcpEnabled", then starts or stops.
    void setEnabled(bool enabled);
    static bool isEnabled();

    bool isRunning() const { return m_running; }
    std::optional<QString> lastError() const { return m_lastError; }

    // The stored "mcpPort"; absent, 0 or out of range reads as the default.
    quint16 port() const;
    // Stores the port; a running server moves to it. Setting the current port does nothing.
    void setPort(quint16 port);
    QString endpoint() const;
    // Listens on `port` for the life of the process without storing it (headless serving).
    void overridePort(quint16 port);

    // How long a connection may take to deliver its whole request.
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }
    int connectionCount() const { return m_connections; }

signals:
    void isRunningChanged(bool running);
    void lastErrorChanged(const std::optional<QString>& error);
    void portChanged(quint16 port);

private:
    void setRunning(bool running);
    void setLastError(std::optional<QString> error);
    void acceptConnections();
    void respond(HttpConnection* connection, const HttpRequest& request);

    QPointer<QTcpServer> m_listener;
    MessageHandler m_handler;
    bool m_running = false;
    std::optional<QString> m_lastError;
    std::chrono::milliseconds m_requestTimeout = kDefaultRequestTimeout;
    int m_connections = 0;
    std::optional<quint16> m_portOverride;
};
