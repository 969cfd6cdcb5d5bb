#include "LoopbackClient.h"
#include "agent/MCPServer.h"

#include <QSignalSpy>

// The server's lifecycle, its port and switch preferences, and listener failures.
class TestMcpServer : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_prefs;

    static QSettings preferences() {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, "norvik", "tavolin");
    }

    static bool answers(quint16 port) {
        LoopbackClient client(port);
        if (!client.waitConnected(1000))
            return false;
        client.send(post(R"({"id":1,"method":"ping"})"));
        return statusLine(client.response()) == "HTTP/1.1 200 OK";
    }

private slots:
    void init() {
        m_prefs = isolatePreferences();
        preferences().clear();
    }

    void portPreference_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("port");
        QTest::newRow("absent") << QVariant() << 49876;
        QTest::newRow("set") << QVariant(50123) << 50123;
        QTest::newRow("too large") << QVariant(70000) << 49876;
        QTest::newRow("negative") << QVariant(-5) << 49876;
        QTest::newRow("not a number") << QVariant("eighty") << 49876;
    }
    void portPreference() {
        QFETCH(QVariant, stored);
        QFETCH(int, port);
        if (stored.isValid())
            preferences().setValue("mcpPort", stored);
        MCPServer server;
        QCOMPARE(server.port(), port);
        QCOMPARE(server.endpoint(), QString("http://127.0.0.1:%1/mcp").arg(port));
    }

    void settingThePort() {
        MCPServer server;
        QSignalSpy portChanges(&server, &MCPServer::portChanged);

        // The current value, also written as 0, changes nothing and stores nothing.
        server.setPort(49876);
        server.setPort(0);
        QCOMPARE(portChanges.count(), 0);
        QVERIFY(!preferences().contains("mcpPort"));

        // While stopped it is only stored.
        const quint16 first = freePort();
        server.setPort(first);
        QCOMPARE(preferences().value("mcpPort").toInt(), first);
        QCOMPARE(portChanges.count(), 1);
        QVERIFY(!server.isRunning());

        // While running the server moves to the new port.
        server.start();
        QVERIFY(server.isRunning());
        QVERIFY(answers(first));
        QSignalSpy running(&server, &MCPServer::isRunningChanged);
        const quint16 second = freePort();
        server.setPort(second);
        QVERIFY(server.isRunning());
        QCOMPARE(running.count(), 2); // off, then on again
        QVERIFY(answers(second));
        QVERIFY(!answers(first));
        server.stop();
    }

    void bindFailureLeavesTheError() {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        MCPServer server;
        const quint16 port = squatter.serverPort();
        server.setPort(port);
        QSignalSpy errors(&server, &MCPServer::lastErrorChanged);
        server.start();
        QVERIFY(!server.isRunning());
        QVERIFY(server.lastError().has_value());
        QVERIFY(!server.lastError()->isEmpty());
        QCOMPARE(errors.count(), 1);

        // Stopping keeps it visible; starting twice in a row is harmless.
        server.stop();
        QVERIFY(server.lastError().has_value());

        squatter.close();
        server.start();
        server.start();
        QVERIFY(server.isRunning());
        QVERIFY(!server.lastError().has_value());
        QCOMPARE(errors.count(), 2);
        QVERIFY(answers(port));
        server.stop();
        server.stop();
        QVERIFY(!server.isRunning());
    }

    void stoppingKeepsAcceptedConnections() {
        MCPServer server;
        const quint16 port = freePort();
        server.setPort(port);
        server.start();
        LoopbackClient client(port);
        QVERIFY(client.waitConnected());
        const QByteArray request = post(R"({"id":5,"method":"ping"})");
        client.send(request.first(20));
        QTRY_COMPARE(server.connectionCount(), 1);
        server.stop();
        client.send(request.mid(20));
        QCOMPARE(statusLine(client.response()), "HTTP/1.1 200 OK");
        QVERIFY(!answers(port));
    }

    void enabledSwitch() {
        const quint16 port = freePort();
        {
            MCPServer server;
            server.setPort(port);
            server.configure({});
            QVERIFY(!server.isRunning()); // off by default
            server.setEnabled(true);
            QVERIFY(server.isRunning());
            QVERIFY(preferences().value("mcpEnabled").toBool());
        }
        // The choice survives into the next launch.
        MCPServer next;
        next.configure({});
        QVERIFY(next.isRunning());
        QCOMPARE(next.port(), port);
        next.setEnabled(false);
        QVERIFY(!next.isRunning());
        QVERIFY(!MCPServer::isEnabled());
    }
};

QTEST_GUILESS_MAIN(TestMcpServer)
#include "tst_mcp_server.moc"
