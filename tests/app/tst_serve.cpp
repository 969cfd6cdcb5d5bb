// `tavolin --serve`: the built program as an agent reaches it — a real MCP client (the official
// TypeScript SDK, run by node) against fake simulators found the way real ones are.
#include "support/SimulatorSandbox.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <csignal>

namespace {

const QString kPhone = QStringLiteral("BBBBBBBB-0000-4000-8000-000000000001");

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class ServeTest : public QObject {
    Q_OBJECT

    // Starts the server and returns the line it printed, or an empty string.
    QString startServer(QProcess& server, const QProcessEnvironment& environment, quint16 port) {
        server.setProcessEnvironment(environment);
        server.start(qEnvironmentVariable("TAVOLIN_BIN"), {"--serve", "--port", QString::number(port)});
        if (!server.waitForReadyRead(10000))
            return {};
        return QString::fromUtf8(server.readLine()).trimmed();
    }

private slots:
    void aPortInUseIsAClearError() {
        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
        SimulatorSandbox sandbox;
        QProcess server;
        server.setProcessEnvironment(sandbox.environment());
        server.start(qEnvironmentVariable("TAVOLIN_BIN"), {"--serve", "--port", QString::number(occupant.serverPort())});
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitCode(), 1);
        QVERIFY(QString::fromUtf8(server.readAllStandardError()).contains(QStringLiteral("cannot listen on 127.0.0.1:")));
        QVERIFY(server.readAllStandardOutput().isEmpty());

        server.start(qEnvironmentVariable("TAVOLIN_BIN"), {"--serve", "--port", "70000"});
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitCode(), 2);
    }

    void interruptEndsItCleanlyAndNothingIsStored() {
        SimulatorSandbox sandbox;
        const quint16 port = freePort();
        QProcess server;
        QCOMPARE(startServer(server, sandbox.environment(), port), QStringLiteral("http://127.0.0.1:%1/mcp").arg(port));
        ::kill(pid_t(server.processId()), SIGTERM);
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
        // --serve writes no preference.
        QVERIFY(!QDir(sandbox.path(QStringLiteral("config"))).exists() ||
                QDir(sandbox.path(QStringLiteral("config"))).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    }

    void theOfficialClientUsesEveryTool() {
        const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
        const QString client = QStringLiteral(TAVOLIN_SDK_DIR "/client.mjs");
        if (node.isEmpty() || !QDir(QStringLiteral(TAVOLIN_SDK_DIR "/node_modules/@modelcontextprotocol/sdk")).exists())
            QFAIL("node and the MCP SDK (npm install in tests/agent/sdk) are needed: scripts/setup installs them");
        if (!SimulatorSandbox::available())
            QSKIP("needs the fake launchd_sim and lsof");

        SimulatorSandbox sandbox;
        QJsonArray messages;
        for (int i = 1; i <= 3; ++i)
            messages.append(QJsonObject{{"level", i == 3 ? "error" : "log"}, {"text", QStringLiteral("step %1").arg(i)},
                                        {"url", "https://shop.example/app.js"}, {"line", 10 + i}});
        const QJsonObject scenario{{"apps", QJsonArray{QJsonObject{
            {"id", "PID:4711"}, {"name", "Safari"},
            {"pages", QJsonArray{QJsonObject{
                {"id", 1}, {"title", "Shop"}, {"url", "https://shop.example/cart"}, {"messages", messages},
                {"evaluations", QJsonObject{{"6*7", QJsonObject{{"type", "number"}, {"value", 42}, {"description", "42"}}}}},
                {"snapshot", QJsonArray{1600, 900}}}}}}}}};
        QVERIFY(!sandbox.addSimulator(kPhone, QStringLiteral("iPhone 15"), scenario).isEmpty());
        QVERIFY(sandbox.writeXcrun());

        const quint16 port = freePort();
        QProcess server;
        const QString endpoint = startServer(server, sandbox.environment(), port);
        QCOMPARE(endpoint, QStringLiteral("http://127.0.0.1:%1/mcp").arg(port));

        // Wait until the first scan has connected and the page has replayed its messages.
        QProcess agent;
        bool ready = false;
        for (int attempt = 0; attempt < 40 && !ready; ++attempt) {
            agent.start(node, {client, endpoint, "probe"});
            QVERIFY(agent.waitForFinished(30000));
            QVERIFY2(agent.exitCode() == 0, agent.readAllStandardError().constData());
            ready = QJsonDocument::fromJson(agent.readAllStandardOutput()).object().value("text").toString().contains("step 3");
            if (!ready)
                QTest::qWait(250);
        }
        QVERIFY(ready);
        agent.start(node, {client, endpoint});
        QVERIFY(agent.waitForFinished(30000));
        QVERIFY2(agent.exitCode() == 0, agent.readAllStandardError().constData());
        const QJsonObject out = QJsonDocument::fromJson(agent.readAllStandardOutput()).object();
        ::kill(pid_t(server.processId()), SIGINT);
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitCode(), 0);

        QCOMPARE(out.value("server").toObject().value("name").toString(), QStringLiteral("tavolin"));
        QCOMPARE(out.value("tools").toArray().size(), 5);
        const QJsonObject calls = out.value("calls").toObject();
        QCOMPARE(calls.value("list_webviews").toObject().value("text").toString(),
                 QStringLiteral("iPhone 15 (iOS 17.5, simulator)\n  Safari (pid 4711)\n    Shop [shop.example/cart] 3 messages"));
        QCOMPARE(calls.value("read_console").toObject().value("text").toString(),
                 QStringLiteral("LOG: step 1 [app.js:11]\nLOG: step 2 [app.js:12]\nERROR: step 3 [app.js:13]"));
        QCOMPARE(calls.value("evaluate").toObject().value("text").toString(), QStringLiteral("42"));
        QCOMPARE(calls.value("evaluate").toObject().value("isError").toBool(), false);
        const QJsonObject shot = calls.value("screenshot").toObject();
        QCOMPARE(shot.value("type").toString(), QStringLiteral("image"));
        QCOMPARE(shot.value("mimeType").toString(), QStringLiteral("image/png"));
        QVERIFY(shot.value("bytes").toInt() > 100);
        QCOMPARE(calls.value("clear_console").toObject().value("text").toString(), QStringLiteral("Cleared"));
    }
};

QTEST_GUILESS_MAIN(ServeTest)
#include "tst_serve.moc"
