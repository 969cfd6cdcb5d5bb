// The built program's --dump report, against fake simulators found the way real ones are: a fake
// xcrun on PATH, and processes named launchd_sim holding real inspector sockets, found through the
// real ps and lsof of this machine.
#include "app/Diagnostics.h"

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

Run runDump(const QStringList& arguments, const QString& pathPrefix, const QString& muxPath) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), pathPrefix + QStringLiteral(":/usr/bin:/bin:/usr/sbin:/sbin"));
    environment.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), QStringLiteral("UNIX:") + muxPath);
    environment.remove(QStringLiteral("DISPLAY"));
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

    QList<QProcess*> simulators;

    bool startSimulator(const QTemporaryDir& dir, const QString& udid, const QJsonObject& scenario, QString* socket) {
        const QString deviceDir = dir.filePath(QStringLiteral("Devices/") + udid + QStringLiteral("/data"));
        QDir().mkpath(deviceDir);
        const QString launcher = deviceDir + QStringLiteral("/launchd_sim");
        if (!QFile::link(qEnvironmentVariable("FAKE_LAUNCHD_SIM"), launcher))
            return false;
        const QString scenarioPath = dir.filePath(udid + QStringLiteral(".json"));
        QFile file(scenarioPath);
        file.open(QIODevice::WriteOnly);
        file.write(QJsonDocument(scenario).toJson());
        file.close();
        const QString socketDir = dir.filePath(udid.right(1));
        QDir().mkpath(socketDir);
        *socket = socketDir + QStringLiteral("/com.apple.webinspectord_sim.socket");
        auto* process = new QProcess(this);
        process->start(launcher, {*socket, scenarioPath});
        simulators << process;
        return process->waitForReadyRead(5000);
    }

private slots:
    void cleanup() {
        for (QProcess* process : simulators) {
            process->kill();
            process->waitForFinished();
            delete process;
        }
        simulators.clear();
    }

    void secondsFromTheCommandLine() {
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump"}), 5.0);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "12"}), 12.0);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "0.5"}), 0.5);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "soon"}), 5.0);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "nan"}), 5.0);
        QCOMPARE(Diagnostics::seconds({"tavolin", "--dump", "-3"}), 0.0);
    }

    void nothingAttached() {
        QTemporaryDir dir;
        const Run run = runDump({"--dump", "0.5"}, dir.path(), dir.filePath("no-usbmuxd"));
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QStringLiteral("accessibility: DENIED\nno booted simulators\n"));
    }

    void twoSimulatorsEndToEnd() {
        if (qEnvironmentVariable("FAKE_LAUNCHD_SIM").isEmpty() || QStandardPaths::findExecutable("lsof", {"/usr/bin", "/usr/sbin"}).isEmpty())
            QSKIP("needs the fake launchd_sim and lsof");
        QTemporaryDir dir(QStringLiteral("/tmp/tvdump-XXXXXX"));

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

        QString phoneSocket, padSocket;
        QVERIFY(startSimulator(dir, kPhone, phone, &phoneSocket));
        QVERIFY(startSimulator(dir, kPad, pad, &padSocket));

        const QJsonObject simctl{
            {"runtimes", QJsonArray{QJsonObject{{"identifier", "com.apple.CoreSimulator.SimRuntime.iOS-17-5"},
                                                {"name", "iOS 17.5"}}}},
            {"devices", QJsonObject{{"com.apple.CoreSimulator.SimRuntime.iOS-17-5",
                                     QJsonArray{QJsonObject{{"state", "Booted"}, {"udid", kPhone}, {"name", "iPhone 15"}},
                                                QJsonObject{{"state", "Booted"}, {"udid", kPad}, {"name", "iPad Air"}}}}}}};
        const QString bin = dir.filePath(QStringLiteral("bin"));
        QDir().mkpath(bin);
        QFile listing(dir.filePath(QStringLiteral("simctl.json")));
        listing.open(QIODevice::WriteOnly);
        listing.write(QJsonDocument(simctl).toJson());
        listing.close();
        QFile xcrun(bin + QStringLiteral("/xcrun"));
        xcrun.open(QIODevice::WriteOnly);
        xcrun.write("#!/bin/sh\ncat '" + listing.fileName().toUtf8() + "'\n");
        xcrun.close();
        xcrun.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        const Run run = runDump({"--dump", "3"}, bin, dir.filePath("no-usbmuxd"));
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
