// The built program as people run it, against a fake simulator found the way real ones are: a fake
// xcrun on PATH, and a process named launchd_sim holding a real inspector socket, found through the
// real ps and lsof of this machine. --dump prints its report; under --serve the official MCP client
// (the TypeScript SDK, run by node) uses every tool.
#include "app/Diagnostics.h"
#include "support/SimulatorSandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <csignal>

class TestApp : public QObject {
    Q_OBJECT

    const QString kBin = qEnvironmentVariable("TAVOLIN_BIN");
    SimulatorSandbox m_sandbox; // one simulator, when this machine can run it
    QString m_socket;

    // What the program printed, or nothing unless it exited normally with status 0.
    QStringList run(const SimulatorSandbox& sandbox, const QStringList& arguments) {
        QProcess process;
        process.setProcessEnvironment(sandbox.environment());
        process.start(kBin, arguments);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode())
            return {};
        return QString::fromUtf8(process.readAllStandardOutput()).split('\n');
    }

private slots:
    void initTestCase() {
        if (!SimulatorSandbox::available())
            return;
        QStringList messages; // 22: the report lists the newest 20, oldest first
        for (int i = 1; i <= 22; ++i)
            messages << QStringLiteral(
                            "{'text': 'm%1', 'level': '%2', 'repeatCount': %3, 'url': 'app.js', 'line': 7%4}")
                            .arg(i)
                            .arg(i == 21 ? "warning" : "log")
                            .arg(i == 21 ? 3 : 1)
                            // The last one logs an object, replayed without its preview.
                            .arg(i == 22 ? ", 'parameters': [{'type': 'string', 'value': 'm22'}, "
                                           "{'type': 'object', 'objectId': 'cart'}]"
                                         : "");
        // Written with single quotes for readability.
        const QString json =
            QStringLiteral(
                "{'apps': [{'id': 'PID:4711', 'name': 'Safari', 'iconWidth': 32, 'pages': ["
                "{'id': 1, 'title': 'Shop', 'url': 'https://shop.example/cart', 'snapshot': [1600, "
                "900], 'evaluations': {'6*7': {'type': 'number', 'value': 42, 'description': '42'}},"
                "'previews': {'cart': {'properties': [{'name': 'items', 'type': 'number', 'value': '3'}]}},"
                " 'messages': [%1]}, {'id': 2, 'title': 'Docs', 'url': 'https://docs.example/', "
                "'heldBy': 'X'}]}, {'id': 'com.example.mail', 'name': 'Mail', 'pages': [{'id': 3, "
                "'title': '', 'url': 'file:///private/var/Bundle/Mail.app/www/index.html'}]}]}")
                .arg(messages.join(','))
                .replace('\'', '"');
        m_socket = m_sandbox.addSimulator("AAAAAAAA-0000-4000-8000-000000000001", "iPhone 15",
                                          QJsonDocument::fromJson(json.toUtf8()).object());
        QVERIFY(!m_socket.isEmpty() && m_sandbox.writeXcrun());
    }

    void secondsFromTheCommandLine() {
        for (const auto& [argument, seconds] :
             {std::pair{"0.5", 0.5}, {"soon", 5.0}, {"nan", 5.0}, {"-3", 0.0}})
            QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", argument}), seconds);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump"}), 5.0);
    }

    void nothingAttached() {
        SimulatorSandbox empty; // no simulators and no xcrun at all
        QCOMPARE(run(empty, {"--dump", "0.5"}),
                 QStringList({"accessibility: DENIED", "no booted simulators", ""}));
    }

    void aSimulatorDumped() {
        if (m_socket.isEmpty())
            QSKIP("needs the fake launchd_sim and lsof");
        const QStringList expected{
            "accessibility: DENIED",
            "device iPhone 15 [iOS 17.5] kind=simulator transport=" + m_socket,
            "  window title: iPhone 15 \u2014 iOS 17.5",
            "  app Mail pid=? icon=none",
            "    index.html \u2014 0 messages",
            "      www/index.html",
            "  app Safari pid=4711 icon=32pt",
            "    Docs [held elsewhere] \u2014 0 messages",
            "      docs.example/",
            "    Shop \u2014 22 messages",
            "      shop.example/cart",
            "    [log] m3 (app.js:7)",
        };
        const QStringList lines = run(m_sandbox, {"--dump", "3"});
        QCOMPARE(lines.mid(0, expected.size()), expected);
        QCOMPARE(lines.mid(lines.size() - 3), QStringList({"    [warning] \u00d73 m21 (app.js:7)",
                                                           "    [log] m22 {items: 3} (app.js:7)", ""}));
    }

    // The collection time counts from the first scan's result, however long the tools take.
    void aSlowListingIsWaitedFor() {
        SimulatorSandbox sandbox;
        QVERIFY(sandbox.writeXcrun());
        QFile xcrun(sandbox.path("bin/xcrun"));
        QVERIFY(xcrun.open(QIODevice::WriteOnly | QIODevice::Truncate));
        xcrun.write("#!/bin/sh\nsleep 1\necho '{\"devices\": {\"rt\": [{\"state\": \"Booted\", "
                    "\"udid\": \"U\", \"name\": \"Slow\"}]}}'\n");
        xcrun.close();
        QCOMPARE(run(sandbox, {"--dump", "0.2"}).value(1),
                 "device Slow [rt] kind=simulator transport=usbmux");
    }

    void aPortInUseIsAClearError() {
        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
        QProcess server;
        server.setProcessEnvironment(m_sandbox.environment());
        server.start(kBin, {"--serve", "--port", QString::number(occupant.serverPort())});
        QVERIFY(server.waitForFinished(10000) && server.exitCode() == 1);
        QVERIFY(server.readAllStandardError().contains("cannot listen on 127.0.0.1:"));
        QCOMPARE(QProcess::execute(kBin, {"--serve", "--port", "70000"}), 2);
    }

    // Without arguments the program is a desktop one: a window for the first simulator found, or
    // one line saying why there is none.
    void aWindowWithoutArguments() {
        QProcessEnvironment environment = m_sandbox.environment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        QProcess headless;
        headless.setProcessEnvironment(environment);
        headless.start(kBin, {});
        QVERIFY(headless.waitForFinished(10000) && headless.exitCode() == 1);
        QCOMPARE(headless.readAllStandardError(),
                 "tavolin: no display to open a window on; try --dump or --serve\n");

        if (m_socket.isEmpty() || qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the fake launchd_sim, lsof and an X display");
        environment.insert("DISPLAY", qEnvironmentVariable("DISPLAY"));
        environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        QProcess desktop;
        desktop.setProcessEnvironment(environment);
        desktop.start(kBin, {});
        const auto windows = [] {
            QProcess list;
            list.start("xwininfo", {"-root", "-tree"});
            list.waitForFinished(5000);
            return QString::fromUtf8(list.readAllStandardOutput());
        };
        QTRY_VERIFY_WITH_TIMEOUT(windows().contains(QString::fromUtf8("\"iPhone 15 \u2014 iOS 17.5\"")),
                                 20000);

        // Read as a screen reader reads it: the simulator, its applications and pages are listed,
        // and every control a person can press or type into has a name.
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("reading the window needs a session bus for AT-SPI");
        QProcess reader;
        reader.start(TAVOLIN_TESTS_DIR "/app/read_window.py", {"tavolin", "list item: Shop", "20"});
        QVERIFY(reader.waitForFinished(40000));
        if (reader.exitCode() == 2)
            QSKIP("AT-SPI for Python (python3-pyatspi) is not installed");
        const QString tree = QString::fromUtf8(reader.readAllStandardOutput());
        QVERIFY2(reader.exitCode() == 0, qPrintable(tree));
        for (const char* row :
             {"list item: iPhone 15", "list item: Safari", "list item: Shop", "list item: Docs",
              "list item: Mail", "check box: Errors & warnings", "text: Filter", "push button: Clear"})
            QVERIFY2(tree.contains(QString::fromUtf8(row)), row);
        static const QRegularExpression unnamed(
            "^ *(push button|check box|toggle button|radio button|text|list|list item|combo box): *$",
            QRegularExpression::MultilineOption);
        QVERIFY2(!tree.contains(unnamed), qPrintable(tree));
        desktop.terminate();
        QVERIFY(desktop.waitForFinished(10000));
    }

    void theOfficialClientUsesEveryTool() {
        const QString node = QStandardPaths::findExecutable("node");
        if (node.isEmpty() || !QDir(TAVOLIN_SDK_DIR "/node_modules/@modelcontextprotocol/sdk").exists())
            QFAIL("node and the MCP SDK are needed: scripts/setup installs them in tests/agent/sdk");
        if (m_socket.isEmpty())
            QSKIP("needs the fake launchd_sim and lsof");
        QTcpServer probe; // a port nobody uses
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QString port = QString::number(probe.serverPort());
        probe.close();
        QProcess server;
        server.setProcessEnvironment(m_sandbox.environment());
        server.start(kBin, {"--serve", "--port", port});
        QVERIFY(server.waitForReadyRead(10000));
        const QString endpoint = QString::fromUtf8(server.readLine()).trimmed();
        QCOMPARE(endpoint, "http://127.0.0.1:" + port + "/mcp");
        QProcess agent;
        agent.start(node, {TAVOLIN_SDK_DIR "/client.mjs", endpoint});
        QVERIFY(agent.waitForFinished(60000));
        QVERIFY2(agent.exitCode() == 0, agent.readAllStandardError().constData());
        ::kill(pid_t(server.processId()), SIGTERM);
        QVERIFY(server.waitForFinished(10000));
        QVERIFY(server.exitStatus() == QProcess::NormalExit && server.exitCode() == 0);
        // Neither --dump nor --serve stores a preference.
        QVERIFY(
            QDir(m_sandbox.path("config")).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));

        const QJsonObject out = QJsonDocument::fromJson(agent.readAllStandardOutput()).object();
        QCOMPARE(out["tools"].toArray(), (QJsonArray{"list_webviews", "read_console", "evaluate",
                                                     "screenshot", "clear_console", "wait_for_console"}));
        QCOMPARE(out["list_webviews"]["text"].toString(),
                 "iPhone 15 (iOS 17.5, simulator)\n  Mail\n    index.html [www/index.html] 0 messages\n"
                 "  Safari (pid 4711)\n    Docs [docs.example/] 0 messages\n    Shop [shop.example/cart] 22 "
                 "messages");
        QVERIFY(out["read_console"]["text"].toString().endsWith(
            QString::fromUtf8("\nWARNING (×3): m21 [app.js:7]\nLOG: m22 {items: 3} [app.js:7]")));
        QVERIFY(out["evaluate"]["text"] == "42" && !out["evaluate"]["isError"].toBool());
        QVERIFY(out["screenshot"]["mimeType"] == "image/png" && out["screenshot"]["width"].toInt() == 1200);
        QCOMPARE(out["clear_console"]["text"].toString(), "Cleared");
    }
};

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
