#include "LoopbackClient.h"
#include "agent/MCPServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

// The endpoint's HTTP handling, over real connections to a running server.
class TestMcpEndpoint : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_prefs;
    std::unique_ptr<MCPServer> m_server;
    quint16 m_port = 0;
    int m_handled = 0;

    // Sends one request and returns everything the server sent before it closed.
    QByteArray exchange(QByteArrayView request) {
        LoopbackClient client(m_port);
        if (!client.waitConnected())
            return "not connected";
        client.send(request);
        return client.response();
    }

private slots:
    void initTestCase() {
        m_prefs = isolatePreferences();
        m_server = std::make_unique<MCPServer>();
        m_port = freePort();
        m_server->setPort(m_port);
        // Echoes each request's message back; "later" answers from the event loop, "twice" replies twice.
        m_server->setMessageHandler([this](const QJsonObject& message, MCPServer::Reply reply) {
            ++m_handled;
            if (!message.contains("id"))
                return reply(std::nullopt);
            QJsonObject response{{"jsonrpc", "2.0"}, {"id", message["id"]}, {"result", message}};
            const QString method = message["method"].toString();
            if (method == "later") {
                QTimer::singleShot(100, [reply, response] { reply(response); });
            } else if (method == "twice") {
                reply(response);
                reply(QJsonObject{{"second", true}});
            } else {
                reply(response);
            }
        });
        m_server->start();
        QVERIFY(m_server->isRunning());
    }

    void exactResponseBytes() {
        QCOMPARE(exchange("GET /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
                 QByteArray("HTTP/1.1 405 \r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
                            "Connection: close\r\n\r\n"));

        const QByteArray body = R"({"jsonrpc":"2.0","id":7,"method":"ping"})";
        const QByteArray expected =
            R"({"id":7,"jsonrpc":"2.0","result":{"id":7,"jsonrpc":"2.0","method":"ping"}})";
        QCOMPARE(exchange(post(body)),
                 "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                     QByteArray::number(expected.size()) + "\r\nConnection: close\r\n\r\n" + expected);
    }

    void methodsAndPaths_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        const QByteArray body = R"({"id":1,"method":"x"})";
        const QByteArray tail = " HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
                                QByteArray::number(body.size()) + "\r\n\r\n" + body;
        QTest::newRow("GET") << "GET /mcp" + tail << QByteArray("HTTP/1.1 405 ");
        QTest::newRow("OPTIONS") << "OPTIONS /mcp" + tail << QByteArray("HTTP/1.1 404 ");
        QTest::newRow("DELETE") << "DELETE /mcp" + tail << QByteArray("HTTP/1.1 404 ");
        QTest::newRow("lower-case post") << "post /mcp" + tail << QByteArray("HTTP/1.1 404 ");
        QTest::newRow("other path") << "POST /elsewhere?x=1" + tail << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("no version, doubled blanks")
            << "POST  /" + tail.mid(9) << QByteArray("HTTP/1.1 200 OK");
    }
    void methodsAndPaths() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        const QByteArray response = exchange(request);
        QCOMPARE(statusLine(response), status);
        if (!status.endsWith("OK"))
            QVERIFY(bodyOf(response).isEmpty());
    }

    void bodies_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        const QByteArray ping = R"({"id":"a","method":"ping"})";
        const QByteArray head = "POST /mcp HTTP/1.1\r\nContent-Type: application/json\r\n";
        QTest::newRow("array") << post(R"([{"id":1,"method":"ping"}])") << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("not json") << post("{id:1") << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("notification")
            << post(R"({"method":"notifications/initialized"})") << QByteArray("HTTP/1.1 202 ");
        QTest::newRow("null id is a request")
            << post(R"({"id":null,"method":"ping"})") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("blank before colon")
            << head + "Content-Length : 26\r\n\r\n" + ping << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("no length") << head + "\r\n" + ping << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("negative length")
            << head + "Content-Length: -26\r\n\r\n" + ping << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("malformed length")
            << head + "Content-Length: 2x6\r\n\r\n" + ping << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("overflowing length")
            << head + "Content-Length: 99999999999999999999\r\n\r\n" + ping << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("signed, tabbed, any case")
            << head + "CONTENT-length:\t+26 \r\n\r\n" + ping << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("later length wins") << head + "Content-Length: 3\r\nContent-Length: 26\r\n\r\n" + ping
                                           << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("extra bytes ignored")
            << post(ping) + "GET / HTTP/1.1\r\n\r\n{garbage" << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("invalid utf-8 in headers")
            << head + "X-Name: \xff\xfe\r\nContent-Length: 26\r\n\r\n" + ping
            << QByteArray("HTTP/1.1 200 OK");
    }
    void bodies() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        QCOMPARE(statusLine(exchange(request)), status);
    }

    void onlyJsonIsServed_data() {
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("text") << QByteArray("Content-Type: text/plain\r\n") << QByteArray("HTTP/1.1 415 ");
        QTest::newRow("none") << QByteArray() << QByteArray("HTTP/1.1 415 ");
        QTest::newRow("form") << QByteArray("Content-Type: application/x-www-form-urlencoded\r\n")
                              << QByteArray("HTTP/1.1 415 ");
        QTest::newRow("json") << QByteArray("Content-Type: application/json\r\n")
                              << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("json, any case, charset")
            << QByteArray("Content-Type: Application/JSON; charset=utf-8\r\n")
            << QByteArray("HTTP/1.1 200 OK");
    }
    void onlyJsonIsServed() {
        QFETCH(QByteArray, headers);
        QFETCH(QByteArray, status);
        const int handled = m_handled;
        const QByteArray body = R"({"id":1,"method":"evaluate"})";
        const QByteArray response = exchange("POST /mcp HTTP/1.1\r\n" + headers + "Content-Length: " +
                                             QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QCOMPARE(statusLine(response), status);
        if (!status.endsWith("OK"))
            QVERIFY(bodyOf(response).isEmpty());
        QCOMPARE(m_handled, handled + (status.endsWith("OK") ? 1 : 0));
    }

    void bodyInSegments() {
        const QByteArray request = post(R"({"id":3,"method":"ping","params":{"pad":"0123456789"}})");
        LoopbackClient client(m_port);
        QVERIFY(client.waitConnected());
        const qsizetype cut1 = request.indexOf("\r\n\r\n") + 2, cut2 = request.size() - 1;
        client.send(request.first(cut1));
        QTest::qWait(50);
        client.send(request.mid(cut1, cut2 - cut1));
        QTest::qWait(100);
        QVERIFY(client.received().isEmpty());
        QVERIFY(!client.isClosed());
        client.send(request.mid(cut2));
        const QByteArray response = client.response();
        QCOMPARE(statusLine(response), "HTTP/1.1 200 OK");
        QCOMPARE(QJsonDocument::fromJson(bodyOf(response))["id"].toInt(), 3);
    }

    void incompleteRequestsAreNeverAnswered_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("bare LF") << QByteArray("POST /mcp HTTP/1.1\nContent-Length: 2\n\n{}");
        QTest::newRow("no path") << QByteArray("POST\r\nContent-Length: 2\r\n\r\n{}");
        QTest::newRow("short body") << QByteArray("POST /mcp HTTP/1.1\r\nContent-Length: 20\r\n\r\n{}");
    }
    void incompleteRequestsAreNeverAnswered() {
        QFETCH(QByteArray, request);
        const int handled = m_handled;
        LoopbackClient client(m_port);
        QVERIFY(client.waitConnected());
        client.send(request);
        QTest::qWait(150);
        QVERIFY(!client.isClosed());
        client.finishSending();
        QVERIFY(client.waitClosed());
        QVERIFY(client.received().isEmpty());
        QCOMPARE(m_handled, handled);
        QTRY_COMPARE(m_server->connectionCount(), 0);
    }

    void foreignOriginOrHostIsRefused_data() {
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("foreign origin")
            << QByteArray("Origin: https://evil.example\r\n") << QByteArray("HTTP/1.1 403 ");
        QTest::newRow("opaque origin") << QByteArray("Origin: null\r\n") << QByteArray("HTTP/1.1 403 ");
        QTest::newRow("look-alike origin")
            << QByteArray("Origin: http://127.0.0.1.evil.example\r\n") << QByteArray("HTTP/1.1 403 ");
        QTest::newRow("second origin foreign")
            << QByteArray("Origin: http://localhost\r\nOrigin: http://a.b\r\n")
            << QByteArray("HTTP/1.1 403 ");
        QTest::newRow("rebound host")
            << QByteArray("Host: attacker.example:49876\r\n") << QByteArray("HTTP/1.1 403 ");
        QTest::newRow("host with userinfo trick")
            << QByteArray("Host: localhost@evil\r\n") << QByteArray("HTTP/1.1 403 ");
        QTest::newRow("loopback origin")
            << QByteArray("Origin: http://localhost:5173\r\n") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("ipv6 origin") << QByteArray("Origin: http://[::1]:8080\r\n")
                                     << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("loopback host")
            << QByteArray("host: 127.0.0.1:49876\r\n") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("ipv6 host") << QByteArray("Host: [::1]:49876\r\n") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("name host") << QByteArray("Host: LOCALHOST\r\n") << QByteArray("HTTP/1.1 200 OK");
    }
    void foreignOriginOrHostIsRefused() {
        QFETCH(QByteArray, headers);
        QFETCH(QByteArray, status);
        const int handled = m_handled;
        const QByteArray response = exchange(post(R"({"id":1,"method":"evaluate"})", headers));
        QCOMPARE(statusLine(response), status);
        QCOMPARE(m_handled, handled + (status.endsWith("OK") ? 1 : 0));
    }

    void oversizedRequestsGet413() {
        // A header block that never ends within the bound.
        QByteArray headers = "POST /mcp HTTP/1.1\r\n";
        while (headers.size() < 70 * 1024)
            headers += "X-Filler: " + QByteArray(100, 'a') + "\r\n";
        QCOMPARE(statusLine(exchange(headers)), "HTTP/1.1 413 ");

        // A body announced beyond the bound is refused before it is sent.
        LoopbackClient big(m_port);
        QVERIFY(big.waitConnected());
        big.send("POST /mcp HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n{");
        QCOMPARE(statusLine(big.response()), "HTTP/1.1 413 ");

        // One at the bound is waited for.
        LoopbackClient atBound(m_port);
        QVERIFY(atBound.waitConnected());
        atBound.send("POST /mcp HTTP/1.1\r\nContent-Length: 16777216\r\n\r\n{");
        QTest::qWait(150);
        QVERIFY(atBound.received().isEmpty());
        QVERIFY(!atBound.isClosed());
    }

    void repliesThroughTheHandler() {
        // Answered once the handler replies from the event loop.
        QCOMPARE(statusLine(exchange(post(R"({"id":1,"method":"later"})"))), "HTTP/1.1 200 OK");
        // A second reply goes nowhere.
        const QByteArray twice = exchange(post(R"({"id":2,"method":"twice"})"));
        QCOMPARE(QJsonDocument::fromJson(bodyOf(twice))["id"].toInt(), 2);
        // A reply for a client that left is dropped.
        {
            LoopbackClient client(m_port);
            QVERIFY(client.waitConnected());
            client.send(post(R"({"id":3,"method":"later"})"));
            QTRY_VERIFY(m_server->connectionCount() == 1);
        }
        QTest::qWait(200);
        QTRY_COMPARE(m_server->connectionCount(), 0);
    }

    void defaultHandlerKnowsNoMethod() {
        MCPServer server;
        const quint16 port = freePort();
        server.setPort(port);
        server.start();
        LoopbackClient client(port);
        QVERIFY(client.waitConnected());
        client.send(post(R"({"jsonrpc":"2.0","id":"x","method":"tools/list"})"));
        const QJsonObject answer = QJsonDocument::fromJson(bodyOf(client.response())).object();
        QCOMPARE(answer["id"].toString(), "x");
        QCOMPARE(answer["error"]["code"].toInt(), -32601);
        QCOMPARE(answer["error"]["message"].toString(), "Unknown method tools/list");
        m_server->setPort(m_port); // the shared preferences still name this test's port
    }

    void slowRequestsTimeOut() {
        m_server->setRequestTimeout(std::chrono::milliseconds(300));
        LoopbackClient client(m_port);
        QVERIFY(client.waitConnected());
        client.send("POST /mcp HTTP/1.1\r\nContent-Length: 10\r\n\r\n{");
        QVERIFY(client.waitClosed(2000));
        QVERIFY(client.received().isEmpty());
        m_server->setRequestTimeout(MCPServer::defaultRequestTimeout);
    }

    void connectionLimit() {
        QTRY_COMPARE(m_server->connectionCount(), 0);
        std::vector<std::unique_ptr<LoopbackClient>> idle;
        for (int i = 0; i < MCPServer::maxConnections; ++i) {
            idle.push_back(std::make_unique<LoopbackClient>(m_port));
            QVERIFY(idle.back()->waitConnected());
        }
        QTRY_COMPARE(m_server->connectionCount(), MCPServer::maxConnections);

        LoopbackClient waiting(m_port);
        QVERIFY(waiting.waitConnected());
        waiting.send(post(R"({"id":9,"method":"ping"})"));
        QTest::qWait(200);
        QVERIFY(waiting.received().isEmpty());
        QCOMPARE(m_server->connectionCount(), MCPServer::maxConnections);

        idle.front()->finishSending();
        QCOMPARE(statusLine(waiting.response()), "HTTP/1.1 200 OK");
        idle.clear();
        QTRY_COMPARE(m_server->connectionCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMcpEndpoint)
#include "tst_mcp_endpoint.moc"
