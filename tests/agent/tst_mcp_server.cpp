// The agent endpoint over real loopback connections: its answer to each kind of request, its
// connection handling, the port and switch it keeps, and the bounds of stored preferences.
#include "agent/MCPServer.h"
#include "base/Preferences.h"

#include <QElapsedTimer>
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
    // The socket's own destructor signals a disconnect, after the members above are gone.
    ~Client() override { QObject::disconnect(this, nullptr, nullptr, nullptr); }
    // Waits for the server to close; its status code, 0 for none.
    int status() {
        (void)QTest::qWaitFor([this] { return closed; }, 3000);
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
        m_server.setRequestTimeout(std::chrono::milliseconds(300)); // incomplete requests give up soon
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
        m_server.start(); // already listening: nothing to do
        QVERIFY(m_server.isRunning());
    }

    void statusPerRequest() {
        const QByteArray json = "Content-Type: application/json\r\n", head = "POST / HTTP/1.1\r\n" + json;
        const QByteArray tail = " HTTP/1.1\r\n" + json + "Content-Length: 26\r\n\r\n" + kPing;
        const QByteArray loopback =
            "Origin: http://[::1]:8080\r\nOrigin: http://127.0.0.1\r\nHost: [::1]:49876\r\n";
        const std::tuple<const char*, QByteArray, int> rows[] = {
            {"GET", "GET /mcp" + tail, 405},
            {"lower-case post", "post /mcp" + tail, 404},
            {"any path, no version, doubled blanks", "POST  /x?y\r\n" + tail.mid(11), 200},
            {"array", post("[{}]"), 400},
            {"not json", post("{id:1"), 400},
            {"notification", post(R"({"method":"x"})"), 202},
            {"negative length", head + "Content-Length: -26\r\n\r\n" + kPing, 400},
            {"overflowing length", head + "Content-Length: 99999999999999999999\r\n\r\n" + kPing, 400},
            {"signed, tabbed, any case", head + "CONTENT-length:\t+26 \r\n\r\n" + kPing, 200},
            {"later length wins", raw(json + "Content-Length: 3\r\n", kPing), 200},
            {"bad utf-8, extra bytes", post(kPing, "X: \xff\xfe\r\n") + "GET / HTTP/1.1\r\n\r\n{", 200},
            {"opaque origin", post(kPing, "Origin: null\r\n"), 403},
            {"look-alike origin", post(kPing, "Origin: http://127.0.0.1.evil.example\r\n"), 403},
            {"second origin foreign", post(kPing, "Origin: http://localhost\r\nOrigin: http://a.b\r\n"), 403},
            {"rebound host", post(kPing, "Host: attacker.example:49876\r\n"), 403},
            {"loopback names", post(kPing, "Origin: http://localhost:5173\r\nHost: LOCALHOST:49876\r\n"),
             200},
            {"loopback addresses", post(kPing, loopback + "host: 127.0.0.1\r\n"), 200},
            {"text, refused before the body", raw("Content-Type: text/plain\r\n", "{id:1"), 415},
            {"no content type", raw({}, kPing), 415},
            {"json among others", post(kPing, "Content-Type: text/plain\r\n"), 415},
            {"json, any case, charset", raw("Content-Type: Application/JSON; charset=utf-8\r\n", kPing), 200},
            {"nested 10,000 deep", post(QByteArray("{\"a\":").repeated(10000) + "1" + QByteArray(10000, '}')),
             400},
            {"endless headers", "POST / HTTP/1.1\r\nX: " + QByteArray(70 * 1024, 'a'), 413},
            {"body beyond the bound", "POST / HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n{", 413},
            {"body at the bound, incomplete", "POST / HTTP/1.1\r\nContent-Length: 16777216\r\n\r\n{", 0},
            {"bare line feeds, incomplete", "POST /mcp HTTP/1.1\nContent-Length: 2\n\n{}", 0},
            {"no path, incomplete", "POST\r\nContent-Length: 2\r\n\r\n{}", 0},
        };
        for (const auto& [name, bytes, status] : rows) {
            const int handled = m_handled;
            Client client(m_port, bytes);
            QVERIFY2(client.status() == status && client.closed, name); // refused, answered or given up
            QVERIFY2(m_handled == handled + (status / 100 == 2 ? 1 : 0), name);
            // Every answer is framed with its body's length; refusals have none.
            const QByteArray body = client.received.mid(client.received.indexOf("\r\n\r\n") + 4);
            QVERIFY2(!status || client.received.contains(
                                    "Content-Length: " + QByteArray::number(body.size()) + "\r\n"),
                     name);
            QVERIFY2(status < 300 || body.isEmpty(), name);
        }
    }

    // A late reply to a client that has gone is dropped; one that only shut its sending side gets it.
    // (Answered once whole and once only, portAndSwitchAreStored and statusPerRequest show.)
    void lateReplies() {
        {
            Client gone(m_port, post(R"({"id":3,"method":"later"})")); // its reply comes after it went
            QTRY_COMPARE(m_server.connectionCount(), 1);
        }
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

    // A request of the largest size is answered; a client that sends a byte at a time, however
    // steadily, is cut off at the request time-out.
    void costsAreBounded() {
        const QByteArray head = "{\"id\":\"a\",\"method\":\"ping\",\"pad\":\"";
        m_server.setRequestTimeout(MCPServer::kDefaultRequestTimeout);
        Client large(m_port, post(head + QByteArray(16 * 1024 * 1024 - head.size() - 2, 'x') + "\"}"));
        QVERIFY(QTest::qWaitFor([&] { return large.closed; }, 60000));
        QCOMPARE(large.status(), 200);
        m_server.setRequestTimeout(std::chrono::milliseconds(300));
        Client slow(m_port);
        QElapsedTimer clock;
        clock.start();
        for (const char byte : post(kPing)) {
            slow.write(&byte, 1);
            if (!QTest::qWaitFor([&] { return slow.closed; }, 50))
                continue;
            break;
        }
        QVERIFY(slow.closed && slow.received.isEmpty() && clock.elapsed() < 2000);
    }

    void connectionsBeyondTheLimitWait() {
        m_server.setRequestTimeout(MCPServer::kDefaultRequestTimeout); // idle ones stay
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
        Preferences::setTranscriptZoom(7); // kept within bounds when stored
        QCOMPARE(Preferences::transcriptZoom(), 3.0);
        // Stored under the names earlier versions used; out of range reads as the bound or the default.
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "norvik", "tavolin");
        for (const auto& [port, zoom, read] : {std::tuple<QVariant, QVariant, double>{70000, 0.1, 0.5},
                                               {0, "nan", 1.0},
                                               {"eighty", "big", 1.0}}) {
            store.setValue("mcpPort", port);
            store.setValue("transcriptZoom", zoom);
            store.setValue("badgePlacement", "top"); // not one of left, toolbar, right
            store.sync();
            QVERIFY(Preferences::mcpPort() == 49876 && Preferences::transcriptZoom() == read);
            QCOMPARE(Preferences::badgePlacement(), QStringLiteral("left"));
        }
        store.clear();
    }

    void portAndSwitchAreStored() {
        QTcpServer squatter; // the first port is taken at first
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        const quint16 first = squatter.serverPort(), second = freePort();
        {
            MCPServer server;
            server.setPort(first);
            server.configure({});
            QVERIFY(!server.isRunning()); // off until switched on
            server.setEnabled(true);
            QVERIFY(!server.isRunning() && !server.lastError().value_or("").isEmpty());
            squatter.close();
            server.start();
            QVERIFY(server.isRunning() && !server.lastError());
            Client client(first, post(kPing).first(20));
            QTRY_COMPARE(server.connectionCount(), 1);
            QCOMPARE(Client(first, post(kPing)).status(), 200); // the default handler knows no method
            server.setPort(second); // a running server moves; accepted connections finish
            client.write(post(kPing).mid(20));
            QCOMPARE(client.status(), 200);
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
};

QTEST_GUILESS_MAIN(TestMcpServer)
#include "tst_mcp_server.moc"
