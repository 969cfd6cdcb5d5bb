// The built program's --dump report, against fake simulators found the way real ones are: a fake
// xcrun on PATH, and processes named launchd_sim holding real inspector sockets, found through the
// real ps and lsof of this machine.
#include "app/Diagnostics.h"
#include "support/SimulatorSandbox.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

class TestDump : public QObject {
    Q_OBJECT

    static QStringList dump(const SimulatorSandbox& sandbox, const QString& seconds) {
        QProcess process;
        process.setProcessEnvironment(sandbox.environment());
        process.start(qEnvironmentVariable("TAVOLIN_BIN"), {"--dump", seconds});
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0)
            return {};
        return QString::fromUtf8(process.readAllStandardOutput()).split('\n');
    }

private slots:
    void secondsFromTheCommandLine() {
        const std::pair<const char*, double> cases[] = {
            {"12", 12}, {"0.5", 0.5}, {"soon", 5}, {"nan", 5}, {"-3", 0}};
        for (const auto& [argument, seconds] : cases)
            QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", argument}), seconds);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump"}), 5.0);
    }

    void nothingAttached() {
        SimulatorSandbox sandbox; // no simulators and no xcrun at all
        QCOMPARE(dump(sandbox, "0.5"), QStringList({"accessibility: DENIED", "no booted simulators", ""}));
    }

    void twoSimulatorsEndToEnd() {
        if (!SimulatorSandbox::available())
            QSKIP("needs the fake launchd_sim and lsof");
        SimulatorSandbox sandbox;
        QJsonArray messages;
        for (int i = 1; i <= 22; ++i)
            messages.append(QJsonObject{{"level", i == 21 ? "warning" : "log"},
                                        {"text", QStringLiteral("m%1").arg(i)},
                                        {"url", "https://shop.example/js/app.js"},
                                        {"line", 7},
                                        {"repeatCount", i == 21 ? 3 : 1}});
        const QJsonArray pages{
            QJsonObject{
                {"id", 1}, {"title", "Shop"}, {"url", "https://shop.example/cart"}, {"messages", messages}},
            QJsonObject{
                {"id", 2}, {"title", "Docs"}, {"url", "https://docs.example/"}, {"heldBy", "SOMEONE-ELSE"}}};
        const QJsonArray mail{QJsonObject{
            {"id", 3}, {"title", ""}, {"url", "file:///private/var/Bundle/Mail.app/www/index.html"}}};
        const QJsonObject phone{
            {"apps",
             QJsonArray{
                 QJsonObject{{"id", "PID:4711"}, {"name", "Safari"}, {"iconWidth", 32}, {"pages", pages}},
                 QJsonObject{{"id", "com.example.mail"}, {"name", "Mail"}, {"pages", mail}}}}};
        const QJsonObject notes{{"id", 1}, {"title", "Notes"}, {"url", "https://notes.example/"}};
        const QJsonObject pad{
            {"apps",
             QJsonArray{QJsonObject{{"id", "PID:9"}, {"name", "Notes"}, {"pages", QJsonArray{notes}}}}}};
        const QString phoneSocket =
            sandbox.addSimulator("AAAAAAAA-0000-4000-8000-000000000001", "iPhone 15", phone);
        const QString padSocket =
            sandbox.addSimulator("AAAAAAAA-0000-4000-8000-000000000002", "iPad Air", pad);
        QVERIFY(!phoneSocket.isEmpty() && !padSocket.isEmpty() && sandbox.writeXcrun());

        const QStringList lines = dump(sandbox, "3");
        const qsizetype start =
            lines.indexOf("device iPad Air [iOS 17.5] kind=simulator transport=" + padSocket);
        QVERIFY2(start == 1, qPrintable(lines.join('\n')));
        const QStringList expected{
            "  window title: iPad Air \u2014 iOS 17.5",
            "  app Notes pid=9 icon=none",
            "    Notes \u2014 0 messages",
            "      notes.example/",
            "device iPhone 15 [iOS 17.5] kind=simulator transport=" + phoneSocket,
            "  window title: iPhone 15 \u2014 iOS 17.5",
            "  app Mail pid=? icon=none",
            "    index.html \u2014 0 messages",
            "      www/index.html",
            "  app Safari pid=4711 icon=32pt",
            "    Docs [held elsewhere] \u2014 0 messages",
            "      docs.example/",
            "    Shop \u2014 22 messages",
            "      shop.example/cart",
            "    [log] m3 (app.js:7)", // the newest 20, oldest first
        };
        QCOMPARE(lines.mid(start + 1, expected.size()), expected);
        QCOMPARE(lines.mid(lines.size() - 4),
                 QStringList({"    [log] m20 (app.js:7)", "    [warning] \u00d73 m21 (app.js:7)",
                              "    [log] m22 (app.js:7)", ""}));
    }
};

QTEST_GUILESS_MAIN(TestDump)
#include "tst_dump.moc"
