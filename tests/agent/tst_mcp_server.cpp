// The agent endpoint over real loopback connections: its answer to each kind of request, its
// connection handling, the listener's lifecycle, and the preferences it keeps.
#include "agent/MCPServer.h"
#include "base/Preferences.h"

#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

namespace {

// A raw client on one connection, driven by the test's event loop; closed when the server ends
// the connection or refuses it.
struct Client : QTcpSocket {
    QByteArray received;
    bool closed = false;

    explicit Client(quint16 port, QByteArrayView bytes = {}) {
        connect(this, &QTcpSocket::readyRead, [this] { received += readAll(); });
        connect(this, &QTcpSocket::disconnected, [this] { closed = true; });
        connect(this, &QTcpSocket::errorOccurred, [this] { closed = true; });
        connectToHost(QHostAddress::LocalHost, port);
        write(bytes.toByteArray()); // sent once connected
    }
    bool waitClosed(int ms = 3000) {
        return QTest::qWaitFor([this] { return closed; }, ms);
    }
    // Waits for the server to close; its status code, 0 for none.
    int status() {
        waitClosed();
        received += readAll();
        return received.mid(9, 3).toInt();
    }
};

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray raw(QByteArrayView headers, QByteArrayView body) {
    return "POST /mcp HTTP/1.1\r\n" + headers.toByteArray() +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body.toByteArray();
}

QByteArray post(QByteArrayView body, QByteArrayView headers = {}) {
    return raw("Content-Type: application/json\r\n" + headers.toByteArray(), body);
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
        // Echoes each message, twice; "later" answers once, from the event loop.
        m_server.setMessageHandler([this](const QJsonObject& message, MCPServer::Reply reply) {
            ++m_handled;
            const QJsonObject response{{"id", message["id"]}, {"result", message}};
            if (message["method"].toString() == "later")
                return QTimer::singleShot(100, [reply, response] { reply(response); });
            reply(message.contains("id") ? std::optional(response) : std::nullopt);
            reply(QJsonObject{{"second", true}});
        });
        m_server.start();
        QVERIFY(m_server.isRunning());
    }

    void statusPerRequest() {
        const QByteArray json = "Content-Type: application/json\r\n", head = "POST / HTTP/1.1\r\n" + json;
        const QByteArray tail = " HTTP/1.1\r\n" + json + "Content-Length: 26\r\n\r\n" + kPing;
        const QByteArray loopback =
            "Origin: http://[::1]:8080\r\nOrigin: http://127.0.0.1\r\nHost: [::1]:49876\r\n";
        const std::tuple<const char*, QByteArray, int> rows[] = {
            {"GET", "GET /mcp" + tail, 405},
            {"OPTIONS", "OPTIONS /mcp" + tail, 404},
            {"lower-case post", "post /mcp" + tail, 404},
            {"any path, no version, doubled blanks", "POST  /x?y\r\n" + tail.mid(11), 200},
            {"array", post("[{}]"), 400},
            {"not json", post("{id:1"), 400},
            {"notification", post(R"({"method":"x"})"), 202},
            {"blank before colon", head + "Content-Length : 26\r\n\r\n" + kPing, 400},
            {"negative length", head + "Content-Length: -26\r\n\r\n" + kPing, 400},
            {"malformed length", head + "Content-Length: 2x6\r\n\r\n" + kPing, 400},
            {"overflowing length", head + "Content-Length: 99999999999999999999\r\n\r\n" + kPing, 400},
            {"signed, tabbed, any case", head + "CONTENT-length:\t+26 \r\n\r\n" + kPing, 200},
            {"later length wins", raw(json + "Content-Length: 3\r\n", kPing), 200},
            {"bad utf-8, extra bytes", post(kPing, "X: \xff\xfe\r\n") + "GET / HTTP/1.1\r\n\r\n{", 200},
            {"opaque origin", post(kPing, "Origin: null\r\n"), 403},
            {"look-alike origin", post(kPing, "Origin: http://127.0.0.1.evil.example\r\n"), 403},
            {"second origin foreign", post(kPing, "Origin: http://localhost\r\nOrigin: http://a.b\r\n"), 403},
            {"rebound host", post(kPing, "Host: attacker.example:49876\r\n"), 403},
            {"host with userinfo", post(kPing, "Host: localhost@evil\r\n"), 403},
            {"loopback names", post(kPing, "Origin: http://localhost:5173\r\nHost: LOCALHOST:49876\r\n"),
             200},
            {"loopback addresses", post(kPing, loopback + "host: 127.0.0.1\r\n"), 200},
            {"text, refused before the body", raw("Content-Type: text/plain\r\n", "{id:1"), 415},
            {"no content type", raw({}, kPing), 415},
            {"form", raw("Content-Type: application/x-www-form-urlencoded\r\n", kPing), 415},
            {"json among others", post(kPing, "Content-Type: text/plain\r\n"), 415},
            {"json, any case, charset", raw("Content-Type: Application/JSON; charset=utf-8\r\n", kPing), 200},
            {"endless headers", "POST / HTTP/1.1\r\nX: " + QByteArray(70 * 1024, 'a'), 413},
            {"body beyond the bound", "POST / HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n{", 413},
        };
        for (const auto& [name, bytes, status] : rows) {
            const int handled = m_handled;
            Client client(m_port, bytes);
            QVERIFY2(client.status() == status, name);
            QVERIFY2(m_handled == handled + (status < 300 ? 1 : 0), name);
            // Every answer is framed with its body's length; refusals have none.
            const QByteArray body = client.received.mid(client.received.indexOf("\r\n\r\n") + 4);
            QVERIFY2(client.received.contains("Content-Length: " + QByteArray::number(body.size()) + "\r\n"),
                     name);
            QVERIFY2(status < 300 || body.isEmpty(), name);
        }
    }

    void incompleteRequestsAreDroppedUnanswered() {
        m_server.setRequestTimeout(std::chrono::milliseconds(300));
        for (const QByteArray& bytes :
             {QByteArray("POST /mcp HTTP/1.1\nContent-Length: 2\n\n{}"),
              QByteArray("POST\r\nContent-Length: 2\r\n\r\n{}"), post(kPing).chopped(1),
              QByteArray("POST / HTTP/1.1\r\nContent-Length: 16777216\r\n\r\n{")}) {
            Client client(m_port, bytes);
            QTest::qWait(150);
            QVERIFY(!client.closed); // still waiting for the rest
            QVERIFY(client.waitClosed() && client.received.isEmpty());
        }
        m_server.setRequestTimeout(MCPServer::kDefaultRequestTimeout);
        Client client(m_port, post(kPing).chopped(1)); // answered once it is whole
        QTest::qWait(100);
        client.write("}");
        QCOMPARE(client.status(), 200);
        QVERIFY(!client.received.contains("second")); // one reply per request
    }

    void slowReplies() {
        QCOMPARE(Client(m_port, post(R"({"id":1,"method":"later"})")).status(), 200);
        {
            Client gone(m_port, post(R"({"id":3,"method":"later"})")); // its reply is dropped
            QTRY_COMPARE(m_server.connectionCount(), 1);
        }
        QTest::qWait(200); // the reply comes after the connection has gone
        QTRY_COMPARE(m_server.connectionCount(), 0);
    }

    void halfClosedClientsStillGetTheirReply() {
        // The client shuts its sending side once the request is out, as `curl -T` or a shell pipe do.
        Client client(m_port);
        QVERIFY(client.waitForConnected());
        client.write(post(R"({"id":4,"method":"later"})"));
        QVERIFY(client.waitForBytesWritten());
        QCOMPARE(::shutdown(int(client.socketDescriptor()), SHUT_WR), 0);
        QCOMPARE(client.status(), 200);
        QVERIFY(client.received.contains(R"("id":4)"));
        QTRY_COMPARE(m_server.connectionCount(), 0);
    }

    void connectionsBeyondTheLimitWait() {
        std::vector<std::unique_ptr<Client>> idle;
        for (int i = 0; i < MCPServer::kMaxConnections; ++i)
            idle.push_back(std::make_unique<Client>(m_port));
        QTRY_COMPARE(m_server.connectionCount(), MCPServer::kMaxConnections);
        Client waiting(m_port, post(kPing));
        QTest::qWait(200);
        QVERIFY(waiting.received.isEmpty());
        idle.front()->disconnectFromHost();
        QCOMPARE(waiting.status(), 200);
    }

    void preferences() {
        QVERIFY(Preferences::transcriptZoom() == 1.0 && !Preferences::alwaysOnTop());
        QVERIFY(Preferences::badgeEnabled() && Preferences::badgePlacement() == "left");
        Preferences::setTranscriptZoom(7); // kept within bounds when stored
        Preferences::setAlwaysOnTop(true);
        Preferences::setBadgeEnabled(false);
        Preferences::setBadgePlacement("toolbar");
        QVERIFY(Preferences::transcriptZoom() == 3.0 && Preferences::alwaysOnTop());
        QVERIFY(!Preferences::badgeEnabled() && Preferences::badgePlacement() == "toolbar");
        Preferences::setBadgePlacement("top"); // not a placement
        QCOMPARE(Preferences::badgePlacement(), QStringLiteral("left"));
        // Stored under the names earlier versions used; out of range reads as the bound or the default.
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "norvik", "tavolin");
        for (const auto& [port, zoom, read] : {std::tuple<QVariant, QVariant, double>{70000, 0.1, 0.5},
                                               {0, "big", 1.0},
                                               {-5, "nan", 1.0},
                                               {"eighty", 1.25, 1.25}}) {
            store.setValue("mcpPort", port);
            store.setValue("transcriptZoom", zoom);
            store.sync();
            QVERIFY(Preferences::mcpPort() == 49876 && Preferences::transcriptZoom() == read);
        }
        store.clear();
    }

    void portAndSwitchAreStored() {
        const quint16 first = freePort(), second = freePort();
        {
            MCPServer server;
            server.setPort(first);
            server.configure({});
            QVERIFY(!server.isRunning()); // off until switched on
            server.setEnabled(true);
            QCOMPARE(Client(first, post(kPing)).status(), 200); // the default handler knows no method
            server.setPort(second);                             // a running server moves
            QCOMPARE(Client(second, post(kPing)).status(), 200);
            QCOMPARE(Client(first, post(kPing)).status(), 0);
        }
        MCPServer next; // the choice survives into the next launch
        next.configure({});
        QCOMPARE(next.endpoint(), QStringLiteral("http://127.0.0.1:%1/mcp").arg(second));
        QVERIFY(next.isRunning());
        next.setEnabled(false);
        QVERIFY(!next.isRunning() && !Preferences::mcpEnabled());
    }

    void listenerLifecycle() {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        MCPServer server;
        server.overridePort(squatter.serverPort());
        server.start();
        QVERIFY(!server.isRunning() && !server.lastError().value_or("").isEmpty());
        server.stop(); // keeps the error visible
        QVERIFY(server.lastError());
        squatter.close();
        server.start();
        server.start();
        QVERIFY(server.isRunning() && !server.lastError());
        // Stopping leaves the connections already accepted to finish.
        Client client(server.port(), post(kPing).first(20));
        QTRY_COMPARE(server.connectionCount(), 1);
        server.stop();
        client.write(post(kPing).mid(20));
        QCOMPARE(client.status(), 200);
        QCOMPARE(Client(server.port(), post(kPing)).status(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMcpServer)
#include "tst_mcp_server.moc"
