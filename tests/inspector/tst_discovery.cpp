// Finding simulators and devices: fake tools written as scripts, and libimobiledevice with no
// usbmuxd around. The real ps and lsof are met in the app's suites, through the simulator sandbox.
#include "base/ToolRunner.h"
#include "inspector/PhysicalDevices.h"
#include "inspector/SimulatorDevices.h"
#include "wire/DeviceTransport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

const QString kUdidA = QStringLiteral("11111111-2222-3333-4444-555555555555");
const QString kUdidB = QStringLiteral("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE");
const QString kSocket = QStringLiteral("/com.apple.webinspectord_sim.socket");

// A shell script that records its arguments in <name>.args.
QString script(const QTemporaryDir& dir, const QString& name, const QByteArray& body) {
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("#!/bin/sh\necho \"$@\" > '" + file.fileName().toUtf8() + ".args'\n" + body);
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return file.fileName();
}

QString argsOf(const QString& tool) {
    QFile file(tool + QStringLiteral(".args"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                          : QStringLiteral("<not run>");
}

const QByteArray kSimctl = R"(cat <<'END'
{"runtimes": [{"identifier": "rt.17", "name": "iOS 17.5"}, {"identifier": "rt.16"}, {"name": "nameless"}],
 "devices": {
  "rt.17": [{"state": "Booted", "udid": "11111111-2222-3333-4444-555555555555", "name": "iPhone 15"},
            {"state": "Shutdown", "udid": "99999999-2222-3333-4444-555555555555", "name": "iPhone 14"},
            {"state": "Booted", "udid": "88888888-2222-3333-4444-555555555555"},
            {"state": "Booted", "udid": "77777777-2222-3333-4444-555555555555", "name": "apple watch"}],
  "rt.16": [{"state": "Booted", "udid": "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE", "name": "iPad"}],
  "rt.unknown": [{"state": "Booted", "udid": "66666666-2222-3333-4444-555555555555", "name": "Zed"}],
  "not-an-array": {"state": "Booted"}}}
END
)";

} // namespace

class TestDiscovery : public QObject {
    Q_OBJECT

private slots:
    void bootedSimulatorsThroughFakeTools() {
        QTemporaryDir dir;
        const QByteArray a = kUdidA.toUtf8(), b = kUdidB.toUtf8(), socket = kSocket.toUtf8();
        SimulatorDevices::Tools tools{
            script(dir, "xcrun", kSimctl),
            // Only launchd_sim processes with a device path count.
            script(dir, "ps",
                   "cat <<END\n  101 /Library/Developer/CoreSimulator/Devices/" + a +
                       "/data/launchd_sim --flag\n\t202 launchd_sim without the marker\n"
                       "  303 /x/Devices/SHORT/launchd_sim\n  404 /usr/bin/unrelated /Devices/" +
                       b + "/\nnospace-launchd_sim/Devices/" + b + "/\n\n  505 /Devices/" + b +
                       "/launchd_sim\nEND\n"),
            // Before any process and of unknown ones: ignored. A later match replaces an earlier one;
            // Linux's lsof adds the socket's type after its name.
            script(dir, "lsof",
                   "cat <<END\nn/early" + socket + "\np999\nn/unknown" + socket +
                       "\np101\nf5\nn/tmp/o.sock\nn/a" + socket + "\nn/b" + socket + "\np505\nn\nn/linux" +
                       socket + " type=STREAM (LISTEN)\nEND\n")};
        const auto devices = SimulatorDevices::booted(tools);
        // Only the two simulators' processes are asked about (the real tools' arguments meet the app's
        // suites).
        QCOMPARE(argsOf(tools.lsof), QStringLiteral("-U -a -p 101,505 -F pn"));
        // Code-point order; a runtime is called by its identifier without a name, by its key when unknown.
        constexpr auto kSimulator = InspectableDevice::Kind::simulator;
        QCOMPARE(devices,
                 (QList<InspectableDevice>{
                     {"66666666-2222-3333-4444-555555555555", "Zed", "rt.unknown", kSimulator, {}},
                     {"77777777-2222-3333-4444-555555555555", "apple watch", "iOS 17.5", kSimulator, {}},
                     {kUdidB, "iPad", "rt.16", kSimulator, "/linux" + kSocket},
                     {kUdidA, "iPhone 15", "iOS 17.5", kSimulator, "/b" + kSocket}}));

        // No launchd_sim process: lsof is never asked. Broken or missing tools give nothing.
        QFile::remove(tools.lsof + ".args");
        tools.ps = script(dir, "ps", "echo '  1 /sbin/init'\n");
        QCOMPARE(SimulatorDevices::booted(tools)->size(), 4);
        QCOMPARE(argsOf(tools.lsof), QStringLiteral("<not run>"));
        // A listing that fails cannot tell; one that works without any simulator lists none.
        for (const QByteArray& listing : {QByteArray("echo 'not json'"), QByteArray("echo '[1, 2]'"),
                                          QByteArray(kSimctl + "exit 72\n")}) {
            tools.xcrun = script(dir, "xcrun", listing);
            QCOMPARE(SimulatorDevices::booted(tools), std::nullopt);
        }
        tools.xcrun = script(dir, "xcrun", "echo '{\"devices\": {}}'\n");
        QCOMPARE(SimulatorDevices::booted(tools), std::optional(QList<InspectableDevice>{}));
        tools = {dir.filePath("absent"), dir.filePath("absent"), dir.filePath("absent")};
        QCOMPARE(SimulatorDevices::booted(tools), std::nullopt);
        QVERIFY(SimulatorDevices::inspectorSockets(tools).isEmpty());
    }

    void toolRunnerLimits() {
        QTemporaryDir dir;
        // Output that is not UTF-8 counts as nothing; the exit status is the caller's to judge.
        QCOMPARE(ToolRunner::run(script(dir, "latin1", "printf 'caf\\351'; exit 3\n"), {}), std::nullopt);
        QCOMPARE(ToolRunner::run(script(dir, "failing", "echo partial; echo oops >&2; exit 1\n"), {}),
                 std::optional(ToolRunner::Output{"partial\n", 1}));
        QCOMPARE(ToolRunner::run(script(dir, "killed", "echo x; kill -9 $$\n"), {}),
                 std::optional(ToolRunner::Output{"x\n", -1}));
        // Arguments reach the program unchanged, spaces and all.
        QCOMPARE(
            ToolRunner::run(script(dir, "each", "for a in \"$@\"; do echo \"[$a]\"; done\n"), {"a b", "é"}),
            std::optional(ToolRunner::Output{"[a b]\n[é]\n"}));
        // A tool that hangs is killed at the limit, even one that hands its output on to a child.
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(ToolRunner::run(script(dir, "hanging", "echo start\nexec sleep 30\n"), {}, 300ms),
                 std::nullopt);
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    }

    void noUsbmuxdMeansNoDevices() {
        qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/tmp/tavolin-no-usbmuxd-here");
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(PhysicalDevices::attached(), std::nullopt); // could not tell, not "none"
        QCOMPARE(PhysicalDevices::describe(kUdidA), std::nullopt);
        QCOMPARE(DeviceTransport(kUdidA).open(), std::optional(WIRError::deviceUnavailable()));
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
