// Finding simulators and devices: fake tools written as scripts, the real ps and lsof of this
// machine against a stand-in launchd_sim process, and libimobiledevice with no usbmuxd around.
#include "wire/DeviceTransport.h"
#include "inspector/PhysicalDevices.h"
#include "inspector/SimulatorDevices.h"
#include "base/ToolRunner.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

namespace {

const QString kUdidA = QStringLiteral("11111111-2222-3333-4444-555555555555");
const QString kUdidB = QStringLiteral("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE");

QString writeScript(const QTemporaryDir& dir, const QString& name, const QByteArray& body) {
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("#!/bin/sh\n" + body);
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// A script that prints `output` exactly, whatever it is called with, and records its arguments.
QString printingScript(const QTemporaryDir& dir, const QString& name, const QByteArray& output) {
    QFile data(dir.filePath(name + QStringLiteral(".out")));
    data.open(QIODevice::WriteOnly);
    data.write(output);
    data.close();
    return writeScript(dir, name,
                       "echo \"$@\" > '" + dir.filePath(name + QStringLiteral(".args")).toUtf8() + "'\ncat '" +
                           data.fileName().toUtf8() + "'\n");
}

QString readArgs(const QTemporaryDir& dir, const QString& name) {
    QFile file(dir.filePath(name + QStringLiteral(".args")));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("<not run>");
    return QString::fromUtf8(file.readAll()).trimmed();
}

const QByteArray kSimctl = R"({
  "runtimes": [
    {"identifier": "com.apple.CoreSimulator.SimRuntime.iOS-17-5", "name": "iOS 17.5"},
    {"identifier": "com.apple.CoreSimulator.SimRuntime.iOS-16-0"},
    {"name": "no identifier"}
  ],
  "devices": {
    "com.apple.CoreSimulator.SimRuntime.iOS-17-5": [
      {"state": "Booted", "udid": "11111111-2222-3333-4444-555555555555", "name": "iPhone 15"},
      {"state": "Shutdown", "udid": "99999999-2222-3333-4444-555555555555", "name": "iPhone 14"},
      {"state": "Booted", "udid": "88888888-2222-3333-4444-555555555555"},
      {"state": "Booted", "udid": "77777777-2222-3333-4444-555555555555", "name": "apple watch"}
    ],
    "com.apple.CoreSimulator.SimRuntime.iOS-16-0": [
      {"state": "Booted", "udid": "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE", "name": "iPad"}
    ],
    "com.example.unknown-runtime": [
      {"state": "Booted", "udid": "66666666-2222-3333-4444-555555555555", "name": "Zed"}
    ],
    "not-an-array": {"state": "Booted"}
  }
})";

} // namespace

class DiscoveryTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void psLinesYieldSimulatorProcesses() {
        const QString ps = QStringLiteral(
            "  101 /Library/Developer/CoreSimulator/Devices/%1/data/launchd_sim --flag\n"
            "\t202 launchd_sim without the marker\n"
            "  303 /x/Devices/SHORT/launchd_sim\n"
            "  404 /usr/bin/unrelated /Devices/%2/\n"
            "nospace-launchd_sim/Devices/%2/\n"
            "\n"
            "  505 /Devices/%2/launchd_sim\n")
                               .arg(kUdidA, kUdidB);
        const QHash<QString, QString> found = SimulatorDevices::simulatorProcesses(ps);
        QCOMPARE(found.size(), 2);
        QCOMPARE(found.value(QStringLiteral("101")), kUdidA);
        QCOMPARE(found.value(QStringLiteral("505")), kUdidB);
    }

    void lsofFieldsYieldSockets() {
        const QHash<QString, QString> pids{{QStringLiteral("101"), kUdidA}, {QStringLiteral("505"), kUdidB}};
        const QString lsof = QStringLiteral(
            "n/early/com.apple.webinspectord_sim.socket\n"     // before any process: ignored
            "p999\n"
            "n/unknown/com.apple.webinspectord_sim.socket\n"   // unknown process: ignored
            "p101\n"
            "f5\n"
            "n/tmp/other.sock type=STREAM\n"
            "n/a/first/com.apple.webinspectord_sim.socket\n"
            "n/a/second/com.apple.webinspectord_sim.socket\n"  // a later match replaces the earlier one
            "p505\n"
            "n\n"
            "n/linux/com.apple.webinspectord_sim.socket type=STREAM (LISTEN)\n");
        const QHash<QString, QString> sockets = SimulatorDevices::socketsFromLsof(lsof, pids);
        QCOMPARE(sockets.size(), 2);
        QCOMPARE(sockets.value(kUdidA), QStringLiteral("/a/second/com.apple.webinspectord_sim.socket"));
        QCOMPARE(sockets.value(kUdidB), QStringLiteral("/linux/com.apple.webinspectord_sim.socket"));
    }

    void bootedSimulatorsThroughFakeTools() {
        QTemporaryDir dir;
        SimulatorDevices::Tools tools;
        tools.xcrun = printingScript(dir, QStringLiteral("xcrun"), kSimctl);
        tools.ps = printingScript(dir, QStringLiteral("ps"),
                                  QStringLiteral("  42 /Devices/%1/launchd_sim\n  43 /Devices/%2/launchd_sim\n")
                                      .arg(kUdidA, kUdidB)
                                      .toUtf8());
        tools.lsof = printingScript(dir, QStringLiteral("lsof"),
                                    "p42\nn/sims/a/com.apple.webinspectord_sim.socket type=STREAM\n");

        const QList<InspectableDevice> devices = SimulatorDevices::booted(tools);
        QCOMPARE(readArgs(dir, QStringLiteral("xcrun")), QStringLiteral("simctl list -j"));
        QCOMPARE(readArgs(dir, QStringLiteral("ps")), QStringLiteral("-axo pid=,command="));
        QCOMPARE(readArgs(dir, QStringLiteral("lsof")), QStringLiteral("-U -a -p 42,43 -F pn"));

        QStringList names;
        for (const InspectableDevice& device : devices)
            names << device.name;
        // Code-point order: capitals first, lower-case after all of them.
        QCOMPARE(names, (QStringList{"Zed", "apple watch", "iPad", "iPhone 15"}));
        const InspectableDevice& phone = devices[3];
        QCOMPARE(phone.udid, kUdidA);
        QCOMPARE(phone.runtime, QStringLiteral("iOS 17.5"));
        QCOMPARE(phone.kind, InspectableDevice::Kind::simulator);
        QCOMPARE(phone.socketPath, std::optional<QString>(QStringLiteral("/sims/a/com.apple.webinspectord_sim.socket")));
        const InspectableDevice& pad = devices[2];
        QCOMPARE(pad.runtime, QStringLiteral("com.apple.CoreSimulator.SimRuntime.iOS-16-0"));
        QCOMPARE(pad.socketPath, std::nullopt);
        QCOMPARE(devices[0].runtime, QStringLiteral("com.example.unknown-runtime"));
    }

    void missingOrBrokenToolsGiveNothing() {
        QTemporaryDir dir;
        SimulatorDevices::Tools tools;
        tools.xcrun = dir.filePath(QStringLiteral("absent"));
        tools.ps = dir.filePath(QStringLiteral("absent"));
        tools.lsof = dir.filePath(QStringLiteral("absent"));
        QVERIFY(SimulatorDevices::booted(tools).isEmpty());
        QVERIFY(SimulatorDevices::inspectorSockets(tools).isEmpty());

        tools.xcrun = printingScript(dir, QStringLiteral("notjson"), "this is not json");
        QVERIFY(SimulatorDevices::booted(tools).isEmpty());
        tools.xcrun = printingScript(dir, QStringLiteral("array"), "[1, 2]");
        QVERIFY(SimulatorDevices::booted(tools).isEmpty());

        // No launchd_sim process: lsof is never asked, simulators are listed without sockets.
        tools.xcrun = printingScript(dir, QStringLiteral("xcrun"), kSimctl);
        tools.ps = printingScript(dir, QStringLiteral("ps"), "  1 /sbin/init\n");
        tools.lsof = printingScript(dir, QStringLiteral("lsof"), "");
        const QList<InspectableDevice> devices = SimulatorDevices::booted(tools);
        QCOMPARE(devices.size(), 4);
        for (const InspectableDevice& device : devices)
            QCOMPARE(device.socketPath, std::nullopt);
        QCOMPARE(readArgs(dir, QStringLiteral("lsof")), QStringLiteral("<not run>"));
    }

    void toolRunnerLimits() {
        QTemporaryDir dir;
        // Output that is not UTF-8 counts as nothing; the exit status does not matter.
        const QString latin1 = writeScript(dir, QStringLiteral("latin1"), "printf 'caf\\351'\nexit 3\n");
        QCOMPARE(ToolRunner::run(latin1, {}), std::nullopt);
        const QString failing = writeScript(dir, QStringLiteral("failing"), "echo partial; echo oops >&2; exit 1\n");
        QCOMPARE(ToolRunner::run(failing, {}), std::optional<QString>(QStringLiteral("partial\n")));

        // A tool that hangs is killed at the limit, even one that hands its output on to a child.
        const QString hanging = writeScript(dir, QStringLiteral("hanging"), "echo start\nexec sleep 30\n");
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(ToolRunner::run(hanging, {}, 300ms), std::nullopt);
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));

        // Arguments reach the program unchanged, spaces and all.
        const QString echo = writeScript(dir, QStringLiteral("echo"), "for a in \"$@\"; do echo \"[$a]\"; done\n");
        QCOMPARE(ToolRunner::run(echo, {QStringLiteral("a b"), QString::fromUtf8("é")}),
                 std::optional<QString>(QString::fromUtf8("[a b]\n[é]\n")));
    }

    // The real ps and lsof of this machine find a listening socket held by a process whose command
    // line looks like a simulator's launchd_sim.
    void realProcessTableFindsASimulatorSocket() {
        const QString fake = qEnvironmentVariable("FAKE_LAUNCHD_SIM");
        if (fake.isEmpty())
            QSKIP("FAKE_LAUNCHD_SIM is not set");
        const QString ps = QStandardPaths::findExecutable(QStringLiteral("ps"));
        const QString lsof = QStandardPaths::findExecutable(QStringLiteral("lsof"), {"/usr/bin", "/usr/sbin", "/bin"});
        if (ps.isEmpty() || lsof.isEmpty())
            QSKIP("ps or lsof is not installed");

        QTemporaryDir dir(QStringLiteral("/tmp/tvsim-XXXXXX"));
        const QString deviceDir = dir.filePath(QStringLiteral("Devices/") + kUdidA + QStringLiteral("/data"));
        QDir().mkpath(deviceDir);
        const QString launcher = deviceDir + QStringLiteral("/launchd_sim");
        QVERIFY(QFile::link(fake, launcher));
        const QString socketPath = dir.filePath(QStringLiteral("com.apple.webinspectord_sim.socket"));

        QProcess process;
        process.start(launcher, {socketPath});
        QVERIFY(process.waitForStarted());
        QVERIFY(process.waitForReadyRead(5000));

        SimulatorDevices::Tools tools;
        tools.ps = ps;
        tools.lsof = lsof;
        const QHash<QString, QString> sockets = SimulatorDevices::inspectorSockets(tools);
        process.kill();
        process.waitForFinished();
        QCOMPARE(sockets.value(kUdidA), socketPath);
    }

    void noUsbmuxdMeansNoDevices() {
        QTemporaryDir dir;
        qputenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + dir.filePath(QStringLiteral("usbmuxd"))).toUtf8());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(PhysicalDevices::attached().isEmpty());
        QCOMPARE(PhysicalDevices::describe(kUdidA), std::nullopt);
        DeviceTransport transport(kUdidA);
        QCOMPARE(transport.open(), std::optional(WIRError::deviceUnavailable()));
        QVERIFY(!transport.send("x"));
        QCOMPARE(transport.receive(4), std::nullopt);
        transport.close();
        transport.close();
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        qunsetenv("USBMUXD_SOCKET_ADDRESS");
    }
};

QTEST_GUILESS_MAIN(DiscoveryTest)
#include "tst_discovery.moc"
