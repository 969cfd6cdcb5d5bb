// The built program's --dump report, against a fake simulator found the way real ones are: a fake
// xcrun on PATH, and a process named launchd_sim holding a real inspector socket, found through the
// real ps and lsof of this machine.
#include "app/Diagnostics.h"
#include "support/SimulatorSandbox.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTest>

class TestDump : public QObject {
    Q_OBJECT

    static QStringList dump(const SimulatorSandbox& sandbox, const QString& seconds) {
        QProcess process;
        process.setProcessEnvironment(sandbox.environment());
        process.start(qEnvironmentVariable("TAVOLIN_BIN"), {"--dump", seconds});
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode())
            return {};
        return QString::fromUtf8(process.readAllStandardOutput()).split('\n');
    }

private slots:
    void secondsFromTheCommandLine() {
        const QStringList arguments{"12", "0.5", "soon", "nan", "-3", "--other"};
        const QList<double> seconds{12, 0.5, 5, 5, 0, 5};
        for (qsizetype i = 0; i < arguments.size(); ++i)
            QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", arguments[i]}), seconds[i]);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump"}), 5.0);
    }

    void nothingAttached() {
        SimulatorSandbox sandbox; // no simulators and no xcrun at all
        QCOMPARE(dump(sandbox, "0.5"), QStringList({"accessibility: DENIED", "no booted simulators", ""}));
    }

    void aSimulatorEndToEnd() {
        if (!SimulatorSandbox::available())
            QSKIP("needs the fake launchd_sim and lsof");
        SimulatorSandbox sandbox;
        QStringList messages; // the newest 20 are listed, oldest first
        for (int i = 1; i <= 22; ++i)
            messages << QStringLiteral(
                            "{'text': 'm%1', 'level': '%2', 'repeatCount': %3, 'url': 'app.js', 'line': 7}")
                            .arg(i)
                            .arg(i == 21 ? "warning" : "log")
                            .arg(i == 21 ? 3 : 1);
        // Written with single quotes for readability.
        const QString json =
            QStringLiteral("{'apps': [{'id': 'PID:4711', 'name': 'Safari', 'iconWidth': 32, 'pages': ["
                           "{'id': 1, 'title': 'Shop', 'url': 'https://shop.example/cart', 'messages': [%1]},"
                           "{'id': 2, 'title': 'Docs', 'url': 'https://docs.example/', 'heldBy': 'X'}]},"
                           "{'id': 'com.example.mail', 'name': 'Mail', 'pages': [{'id': 3, 'title': '', "
                           "'url': 'file:///private/var/Bundle/Mail.app/www/index.html'}]}]}")
                .arg(messages.join(','))
                .replace('\'', '"');
        const QJsonObject scenario = QJsonDocument::fromJson(json.toUtf8()).object();
        const QString socket =
            sandbox.addSimulator("AAAAAAAA-0000-4000-8000-000000000001", "iPhone 15", scenario);
        QVERIFY(!socket.isEmpty() && sandbox.writeXcrun());

        const QStringList expected{
            "accessibility: DENIED",
            "device iPhone 15 [iOS 17.5] kind=simulator transport=" + socket,
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
        const QStringList lines = dump(sandbox, "3");
        QCOMPARE(lines.mid(0, expected.size()), expected);
        QCOMPARE(lines.mid(lines.size() - 3),
                 QStringList({"    [warning] \u00d73 m21 (app.js:7)", "    [log] m22 (app.js:7)", ""}));
    }

    // The wait counts from the first scan's result: a listing slower than the wait is still reported.
    void aSlowListingIsWaitedFor() {
        SimulatorSandbox sandbox;
        QVERIFY(sandbox.writeXcrun());
        QFile xcrun(sandbox.path("bin/xcrun"));
        QVERIFY(xcrun.open(QIODevice::WriteOnly | QIODevice::Truncate));
        xcrun.write("#!/bin/sh\nsleep 1\necho '{\"devices\": {\"rt\": [{\"state\": \"Booted\", "
                    "\"udid\": \"U\", \"name\": \"Slow\"}]}}'\n");
        xcrun.close();
        QCOMPARE(dump(sandbox, "0.2").value(1), "device Slow [rt] kind=simulator transport=usbmux");
    }
};

QTEST_GUILESS_MAIN(TestDump)
#include "tst_dump.moc"
