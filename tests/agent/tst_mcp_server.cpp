// The agent endpoint over real loopback connections: what it answers to each kind of request, its
// connection handling, and the listener's lifecycle.
#include "agent/MCPServer.h"
#include "base/Preferences.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// A raw client on one connection, driven by the test's event loop.
struct Client {
    QTcpSocket socket;
    QByteArray received;
    bool closed = false;

    explicit Client(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        QObject::connect(&socket, &QTcpSocket::errorOccurred, [this] { closed = true; }); // refused, reset
        socket.connectToHost(QHostAddress::LocalHost, port);
        (void)QTest::qWaitFor([this] { return closed || socket.state() == QAbstractSocket::ConnectedState; });
    }
    void send(QByteArrayView bytes) {
        socket.write(bytes.data(), bytes.size());
        socket.flush();
    }
    bool waitClosed(int ms = 3000) {
        const bool done = QTest::qWaitFor([this] { return closed; }, ms);
        received += socket.readAll();
        return done;
    }
    // Waits for the server to close and returns its status code, 0 for none.
    int status() {
        waitClosed();
        return received.mid(9, 3).toInt();
    }
    QJsonObject body() {
        waitClosed();
        return QJsonDocument::fromJson(received.mid(received.indexOf("\r\n\r\n") + 4)).object();
    }
};

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray request(QByteArrayView headers, QByteArrayView body) {
    return "POST /mcp HTTP/1.1\r\n" + headers.toByteArray() +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body.toByteArray();
}

QByteArray post(QByteArrayView body, QByteArrayView headers = {}) {
    return request("Content-Type: application/json\r\n" + headers.toByteArray(), body);
}

int statusOf(quint16 port, QByteArrayView bytes) {
    Client client(port);
    client.send(bytes);
    return client.status();
}

const QByteArray kPing = R"({"id":"a","method":"ping"})";

} // namespace

class TestMcpServer : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefs;
    MCPServer m_server;
    quint16 m_port = freePort();
    int m_handled = 0;

private slots:
    void initTestCase() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_prefs.path());
        m_server.overridePort(m_port);
        // Echoes each message; "later" answers from the event loop, "twice" replies twice.
        m_server.setMessageHandler([this](const QJsonObject& message, MCPServer::Reply reply) {
            ++m_handled;
            if (!message.contains("id"))
                return reply(std::nullopt);
            const QJsonObject response{{"id", message["id"]}, {"result", message}};
            const QString method = message["method"].toString();
            if (method == "later")
                return QTimer::singleShot(100, [reply, response] { reply(response); });
            reply(response);
            if (method == "twice")
                reply(QJsonObject{{"second", true}});
        });
        m_server.start();
        QVERIFY(m_server.isRunning());
    }

    void exactResponse() {
        Client client(m_port);
        client.send(post(R"({"id":7})"));
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received,
                 "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 26\r\n"
                 "Connection: close\r\n\r\n{\"id\":7,\"result\":{\"id\":7}}");
    }

    void statusPerRequest_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");
        const QByteArray json = "Content-Type: application/json\r\n";
        const QByteArray head = "POST / HTTP/1.1\r\n" + json;
        const QByteArray tail = " HTTP/1.1\r\n" + json + "Content-Length: 26\r\n\r\n" + kPing;
        QTest::newRow("GET") << "GET /mcp" + tail << 405;
        QTest::newRow("OPTIONS") << "OPTIONS /mcp" + tail << 404;
        QTest::newRow("lower-case post") << "post /mcp" + tail << 404;
        QTest::newRow("any path") << "POST /elsewhere?x=1" + tail << 200;
        QTest::newRow("no version, doubled blanks") << "POST  /" + tail.mid(9) << 200;
        QTest::newRow("array") << post(R"([{"id":1,"method":"ping"}])") << 400;
        QTest::newRow("not json") << post("{id:1") << 400;
        QTest::newRow("notification") << post(R"({"method":"notifications/initialized"})") << 202;
        QTest::newRow("null id is a request") << post(R"({"id":null})") << 200;
        QTest::newRow("blank before colon") << head + "Content-Length : 26\r\n\r\n" + kPing << 400;
        QTest::newRow("no length") << head + "\r\n" + kPing << 400;
        QTest::newRow("negative length") << head + "Content-Length: -26\r\n\r\n" + kPing << 400;
        QTest::newRow("malformed length") << head + "Content-Length: 2x6\r\n\r\n" + kPing << 400;
        QTest::newRow("overflowing length")
            << head + "Content-Length: 99999999999999999999\r\n\r\n" + kPing << 400;
        QTest::newRow("signed, tabbed, any case") << head + "CONTENT-length:\t+26 \r\n\r\n" + kPing << 200;
        QTest::newRow("later length wins") << request(json + "Content-Length: 3\r\n", kPing) << 200;
        QTest::newRow("extra bytes ignored") << post(kPing) + "GET / HTTP/1.1\r\n\r\n{garbage" << 200;
        QTest::newRow("invalid utf-8 in headers") << post(kPing, "X-Name: \xff\xfe\r\n") << 200;
        QTest::newRow("foreign origin") << post(kPing, "Origin: https://evil.example\r\n") << 403;
        QTest::newRow("opaque origin") << post(kPing, "Origin: null\r\n") << 403;
        QTest::newRow("look-alike origin") << post(kPing, "Origin: http://127.0.0.1.evil.example\r\n") << 403;
        QTest::newRow("second origin foreign")
            << post(kPing, "Origin: http://localhost\r\nOrigin: http://a.b\r\n") << 403;
        QTest::newRow("foreign origin, GET")
            << QByteArray("GET / HTTP/1.1\r\nOrigin: http://a.b\r\n\r\n") << 403;
        QTest::newRow("rebound host") << post(kPing, "Host: attacker.example:49876\r\n") << 403;
        QTest::newRow("host with userinfo") << post(kPing, "Host: localhost@evil\r\n") << 403;
        QTest::newRow("loopback origin") << post(kPing, "Origin: http://localhost:5173\r\n") << 200;
        QTest::newRow("ipv6 origin") << post(kPing, "Origin: http://[::1]:8080\r\n") << 200;
        QTest::newRow("loopback host") << post(kPing, "host: 127.0.0.1:49876\r\n") << 200;
        QTest::newRow("ipv6 host") << post(kPing, "Host: [::1]:49876\r\n") << 200;
        QTest::newRow("name host") << post(kPing, "Host: LOCALHOST\r\n") << 200;
        QTest::newRow("text") << request("Content-Type: text/plain\r\n", kPing) << 415;
        QTest::newRow("no content type") << request({}, kPing) << 415;
        QTest::newRow("form") << request("Content-Type: application/x-www-form-urlencoded\r\n", kPing) << 415;
        QTest::newRow("text, before the body") << request("Content-Type: text/plain\r\n", "{id:1") << 415;
        QTest::newRow("json among others") << post(kPing, "Content-Type: text/plain\r\n") << 415;
        QTest::newRow("json, any case, charset")
            << request("Content-Type: Application/JSON; charset=utf-8\r\n", kPing) << 200;
        QTest::newRow("endless headers") << "POST / HTTP/1.1\r\nX: " + QByteArray(70 * 1024, 'a') << 413;
        QTest::newRow("body beyond the bound")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n{") << 413;
    }
    void statusPerRequest() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        const int handled = m_handled;
        Client client(m_port);
        client.send(bytes);
        QCOMPARE(client.status(), status);
        QCOMPARE(m_handled, handled + (status < 300 ? 1 : 0));
        if (status >= 300)
            QVERIFY(client.received.endsWith("Content-Length: 0\r\nConnection: close\r\n\r\n"));
    }

    void incompleteRequestsAreNeverAnswered() {
        const QList<QByteArray> requests{
            "POST /mcp HTTP/1.1\nContent-Length: 2\n\n{}", "POST\r\nContent-Length: 2\r\n\r\n{}",
            post(R"({"id":1})").chopped(1), "POST / HTTP/1.1\r\nContent-Length: 16777216\r\n\r\n{"};
        for (const QByteArray& bytes : requests) {
            Client client(m_port);
            client.send(bytes);
            QTest::qWait(150);
            QVERIFY(!client.closed);
            client.socket.disconnectFromHost();
            QVERIFY(client.waitClosed());
            QCOMPARE(client.received, QByteArray());
        }
        // A request delivered in pieces is answered once it is whole.
        const QByteArray bytes = post(kPing);
        Client client(m_port);
        client.send(bytes.chopped(1));
        QTest::qWait(100);
        QVERIFY(client.received.isEmpty());
        client.send(bytes.last(1));
        QCOMPARE(client.status(), 200);
        QTRY_COMPARE(m_server.connectionCount(), 0);
    }

    void repliesThroughTheHandler() {
        Client later(m_port), twice(m_port);
        later.send(post(R"({"id":1,"method":"later"})"));
        twice.send(post(R"({"id":2,"method":"twice"})"));
        QCOMPARE(later.status(), 200);
        QCOMPARE(twice.body()["id"].toInt(), 2); // the second reply goes nowhere
        {
            Client gone(m_port); // a reply for a client that left is dropped
            gone.send(post(R"({"id":3,"method":"later"})"));
            QTRY_COMPARE(m_server.connectionCount(), 1);
        }
        QTest::qWait(200);
        QTRY_COMPARE(m_server.connectionCount(), 0);
    }

    void slowRequestsTimeOut() {
        m_server.setRequestTimeout(std::chrono::milliseconds(300));
        Client client(m_port);
        client.send("POST /mcp HTTP/1.1\r\nContent-Length: 10\r\n\r\n{");
        QVERIFY(client.waitClosed(2000));
        QVERIFY(client.received.isEmpty());
        m_server.setRequestTimeout(MCPServer::kDefaultRequestTimeout);
    }

    void connectionsBeyondTheLimitWait() {
        std::vector<std::unique_ptr<Client>> idle;
        for (int i = 0; i < MCPServer::kMaxConnections; ++i)
            idle.push_back(std::make_unique<Client>(m_port));
        QTRY_COMPARE(m_server.connectionCount(), MCPServer::kMaxConnections);
        Client waiting(m_port);
        waiting.send(post(kPing));
        QTest::qWait(200);
        QVERIFY(waiting.received.isEmpty());
        idle.front()->socket.disconnectFromHost();
        QCOMPARE(waiting.status(), 200);
        idle.clear();
        QTRY_COMPARE(m_server.connectionCount(), 0);
    }

    void defaultHandlerKnowsNoMethod() {
        MCPServer server;
        server.overridePort(freePort());
        server.start();
        Client client(server.port());
        client.send(post(R"({"id":"x","method":"tools/list"})"));
        QCOMPARE(client.body().value("error")["message"].toString(), "Unknown method tools/list");
    }

    void portAndSwitchAreStored() {
        const quint16 first = freePort(), second = freePort();
        {
            MCPServer server;
            QSignalSpy portChanges(&server, &MCPServer::portChanged);
            server.setPort(0); // the default, already
            QCOMPARE(portChanges.count(), 0);
            server.setPort(first);
            server.configure({});
            QVERIFY(!server.isRunning()); // off until switched on
            server.setEnabled(true);
            QCOMPARE(statusOf(first, post(kPing)), 200);
            QSignalSpy running(&server, &MCPServer::isRunningChanged);
            server.setPort(second); // a running server moves
            QCOMPARE(running.count(), 2);
            QCOMPARE(statusOf(second, post(kPing)), 200);
            QCOMPARE(statusOf(first, post(kPing)), 0);
        }
        QCOMPARE(Preferences::mcpPort(), second);
        MCPServer next; // the choice survives into the next launch
        next.configure({});
        QCOMPARE(next.endpoint(), QStringLiteral("http://127.0.0.1:%1/mcp").arg(second));
        QVERIFY(next.isRunning());
        next.setEnabled(false);
        QVERIFY(!next.isRunning() && !Preferences::mcpEnabled());
    }

    void bindFailureLeavesTheError() {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        MCPServer server;
        server.overridePort(squatter.serverPort());
        server.start();
        QVERIFY(!server.isRunning());
        QVERIFY(!server.lastError().value_or("").isEmpty());
        server.stop(); // keeps the error visible
        QVERIFY(server.lastError());
        squatter.close();
        server.start();
        server.start();
        QVERIFY(server.isRunning() && !server.lastError());
    }

    void stoppingKeepsAcceptedConnections() {
        const QByteArray bytes = post(kPing);
        Client client(m_port);
        client.send(bytes.first(20));
        QTRY_COMPARE(m_server.connectionCount(), 1);
        m_server.stop();
        client.send(bytes.mid(20));
        QCOMPARE(client.status(), 200);
        QCOMPARE(statusOf(m_port, bytes), 0);
    }
};

QTEST_GUILESS_MAIN(TestMcpServer)
#include "tst_mcp_server.moc"
