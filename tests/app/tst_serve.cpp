// `tavolin --serve` as an agent reaches it: the official MCP client (the TypeScript SDK, run by
// node) against a fake simulator found the way real ones are.
#include "support/SimulatorSandbox.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <csignal>

// A JSON object written with single quotes, for readability.
QJsonObject json(QByteArray text) {
    return QJsonDocument::fromJson(text.replace('\'', '"')).object();
}

class TestServe : public QObject {
    Q_OBJECT

    SimulatorSandbox m_sandbox;
    QProcess m_server;
    const QString kBin = qEnvironmentVariable("TAVOLIN_BIN");

private slots:
    void initTestCase() { m_server.setProcessEnvironment(m_sandbox.environment()); }

    void aPortInUseIsAClearError() {
        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
        m_server.start(kBin, {"--serve", "--port", QString::number(occupant.serverPort())});
        QVERIFY(m_server.waitForFinished(10000) && m_server.exitCode() == 1);
        QVERIFY(m_server.readAllStandardError().contains("cannot listen on 127.0.0.1:"));
        QCOMPARE(QProcess::execute(kBin, {"--serve", "--port", "70000"}), 2);
    }

    void theOfficialClientUsesEveryTool() {
        const QString node = QStandardPaths::findExecutable("node");
        if (node.isEmpty() || !QDir(TAVOLIN_SDK_DIR "/node_modules/@modelcontextprotocol/sdk").exists())
            QFAIL("node and the MCP SDK are needed: scripts/setup installs them in tests/agent/sdk");
        if (!SimulatorSandbox::available())
            QSKIP("needs the fake launchd_sim and lsof");
        const QJsonObject scenario = json(
            "{'apps': [{'id': 'PID:4711', 'name': 'Safari', 'pages': [{'id': 1, 'title': 'Shop',"
            " 'url': 'https://shop.example/cart', 'snapshot': [1600, 900],"
            " 'evaluations': {'6*7': {'type': 'number', 'value': 42, 'description': '42'}}, 'messages': ["
            "{'level': 'log', 'text': 'step 1', 'url': 'app.js', 'line': 11},"
            "{'level': 'log', 'text': 'step 2', 'url': 'app.js', 'line': 12},"
            "{'level': 'error', 'text': 'step 3', 'url': 'app.js', 'line': 13}]}]}]}");
        QVERIFY(
            !m_sandbox.addSimulator("BBBBBBBB-0000-4000-8000-000000000001", "iPhone 15", scenario).isEmpty());
        QVERIFY(m_sandbox.writeXcrun());

        QTcpServer probe; // a port nobody uses
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QString port = QString::number(probe.serverPort());
        probe.close();
        m_server.start(kBin, {"--serve", "--port", port});
        QVERIFY(m_server.waitForReadyRead(10000));
        const QString endpoint = QString::fromUtf8(m_server.readLine()).trimmed();
        QCOMPARE(endpoint, "http://127.0.0.1:" + port + "/mcp");
        QProcess agent;
        agent.start(node, {TAVOLIN_SDK_DIR "/client.mjs", endpoint});
        QVERIFY(agent.waitForFinished(60000));
        QVERIFY2(agent.exitCode() == 0, agent.readAllStandardError().constData());
        ::kill(pid_t(m_server.processId()), SIGTERM);
        QVERIFY(m_server.waitForFinished(10000));
        QVERIFY(m_server.exitStatus() == QProcess::NormalExit && m_server.exitCode() == 0);
        // --serve stores no preference.
        QVERIFY(
            QDir(m_sandbox.path("config")).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));

        const QJsonObject out = QJsonDocument::fromJson(agent.readAllStandardOutput()).object();
        QCOMPARE(out["tools"].toArray().size(), 5);
        QCOMPARE(
            out["list_webviews"]["text"].toString(),
            "iPhone 15 (iOS 17.5, simulator)\n  Safari (pid 4711)\n    Shop [shop.example/cart] 3 messages");
        QCOMPARE(out["read_console"]["text"].toString(),
                 "LOG: step 1 [app.js:11]\nLOG: step 2 [app.js:12]\nERROR: step 3 [app.js:13]");
        QVERIFY(out["evaluate"]["text"] == "42" && !out["evaluate"]["isError"].toBool());
        QVERIFY(out["screenshot"]["mimeType"] == "image/png" && out["screenshot"]["bytes"].toInt() > 100);
        QCOMPARE(out["clear_console"]["text"].toString(), "Cleared");
    }
};

QTEST_GUILESS_MAIN(TestServe)
#include "tst_serve.moc"
