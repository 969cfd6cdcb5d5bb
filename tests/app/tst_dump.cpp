// The built program's --dump report, against fake simulators found the way real ones are: a fake
// xcrun on PATH, and processes named launchd_sim holding real inspector sockets, found through the
// real ps and lsof of this machine.
#include "app/Diagnostics.h"
#include "support/SimulatorSandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kPhone = QStringLiteral("AAAAAAAA-0000-4000-8000-000000000001");
const QString kPad = QStringLiteral("AAAAAAAA-0000-4000-8000-000000000002");

struct Run {
    int status = -1;
    QString out;
};

Run runDump(const QStringList& arguments, const QProcessEnvironment& environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(qEnvironmentVariable("TAVOLIN_BIN"), arguments);
    if (!process.waitForFinished(60000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput())};
}

QJsonObject message(const QString& text, const QString& level = QStringLiteral("log"), int repeat = 1) {
    return QJsonObject{{"level", level}, {"text", text}, {"url", "https://shop.example/js/app.js"}, {"line", 7},
                       {"repeatCount", repeat}};
}

} // namespace

class DumpTest : public QObject {
    Q_OBJECT

private slots:
    void secondsFromTheCommandLine() {
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump"}), 5.0);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "12"}), 12.0);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "0.5"}), 0.5);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "soon"}), 5.0);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "nan"}), 5.0);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "-3"}), 0.0);
    }

    void nothingAttached() {
        SimulatorSandbox sandbox; // no simulators and no xcrun at all
        const Run run = runDump({"--dump", "0.5"}, sandbox.environment());
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QStringLiteral("accessibility: DENIED\nno booted simulators\n"));
    }

    void twoSimulatorsEndToEnd() {
        if (!SimulatorSandbox::available())
            QSKIP("needs the fake launchd_sim and lsof");
        SimulatorSandbox sandbox;

        QJsonArray shopMessages;
        for (int i = 1; i <= 25; ++i)
            shopMessages.append(i == 24 ? message(QStringLiteral("m24"), QStringLiteral("warning"), 3)
                                        : message(QStringLiteral("m%1").arg(i)));
        const QJsonObject phone{
            {"apps", QJsonArray{
                QJsonObject{{"id", "PID:4711"}, {"name", "Safari"}, {"iconWidth", 32},
                            {"pages", QJsonArray{
                                QJsonObject{{"id", 1}, {"title", "Shop"}, {"url", "https://shop.example/cart"},
                                            {"messages", shopMessages}},
                                QJsonObject{{"id", 2}, {"title", "Docs"}, {"url", "https://docs.example/"},
                                            {"heldBy", "SOMEONE-ELSE"}}}}},
                QJsonObject{{"id", "com.example.mail"}, {"name", "Mail"},
                            {"pages", QJsonArray{QJsonObject{
                                {"id", 3}, {"title", ""},
                                {"url", "file:///private/var/containers/Bundle/Mail.app/www/index.html"}}}}}}}};
        const QJsonObject pad{{"apps", QJsonArray{QJsonObject{
            {"id", "PID:9"}, {"name", "Notes"},
            {"pages", QJsonArray{QJsonObject{{"id", 1}, {"title", "Notes"}, {"url", "https://notes.example/"}}}}}}}};

        const QString phoneSocket = sandbox.addSimulator(kPhone, QStringLiteral("iPhone 15"), phone);
        const QString padSocket = sandbox.addSimulator(kPad, QStringLiteral("iPad Air"), pad);
        QVERIFY(!phoneSocket.isEmpty() && !padSocket.isEmpty());
        QVERIFY(sandbox.writeXcrun());

        const Run run = runDump({"--dump", "3"}, sandbox.environment());
        QCOMPARE(run.status, 0);
        const QStringList lines = run.out.split(QLatin1Char('\n'));
        auto at = [&](const QString& line) { return lines.indexOf(line); };

        QCOMPARE(lines.first(), QStringLiteral("accessibility: DENIED"));
        const qsizetype pad0 = at(QStringLiteral("device iPad Air [iOS 17.5] kind=simulator transport=") + padSocket);
        const qsizetype phone0 = at(QStringLiteral("device iPhone 15 [iOS 17.5] kind=simulator transport=") + phoneSocket);
        QVERIFY2(pad0 > 0 && phone0 > pad0, qPrintable(run.out));
        QCOMPARE(lines[phone0 + 1], QString::fromUtf8("  window title: iPhone 15 — iOS 17.5"));
        QCOMPARE(lines[pad0 + 2], QStringLiteral("  app Notes pid=9 icon=none"));

        const qsizetype mail = at(QStringLiteral("  app Mail pid=? icon=none"));
        const qsizetype safari = at(QStringLiteral("  app Safari pid=4711 icon=32pt"));
        QVERIFY2(mail > phone0 && safari > mail, qPrintable(run.out));
        QCOMPARE(lines[mail + 1], QString::fromUtf8("    index.html — 0 messages"));
        QCOMPARE(lines[mail + 2], QStringLiteral("      www/index.html"));
        QCOMPARE(lines[safari + 1], QString::fromUtf8("    Docs [held elsewhere] — 0 messages"));
        QCOMPARE(lines[safari + 2], QStringLiteral("      docs.example/"));
        QCOMPARE(lines[safari + 3], QString::fromUtf8("    Shop — 25 messages"));
        QCOMPARE(lines[safari + 4], QStringLiteral("      shop.example/cart"));

        // The newest 20 messages, oldest first, repeats marked.
        QCOMPARE(lines[safari + 5], QStringLiteral("    [log] m6 (app.js:7)"));
        QCOMPARE(lines[safari + 23], QString::fromUtf8("    [warning] ×3 m24 (app.js:7)"));
        QCOMPARE(lines[safari + 24], QStringLiteral("    [log] m25 (app.js:7)"));
        QCOMPARE(lines[safari + 25], QString());
    }
};

QTEST_GUILESS_MAIN(DumpTest)
#include "tst_dump.moc"
