// The built program's --dump report with a fake USB device as the only target: found through the
// fake usbmuxd that USBMUXD_SOCKET_ADDRESS names, reached over lockdown and the TLS service.
#include "support/FakeDevice.h"
#include "support/FakeUsbmuxd.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString kPhone = QStringLiteral("00008110-000A11112222801E");
const QString kPad = QStringLiteral("00008027-000B33334444002E");

} // namespace

class DeviceDumpTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void reportsTheDevice() {
        const PairingCertificates pairing = PairingCertificates::generate();
        FakeDevice phone(kPhone, QStringLiteral("Zoe's iPhone"), pairing);
        phone.addApp({QStringLiteral("PID:311"), QStringLiteral("Safari"), std::nullopt, std::nullopt});
        FakeInspectorDaemon::Page page;
        page.id = 1;
        page.title = QStringLiteral("Shop");
        page.url = QStringLiteral("https://shop.example/cart");
        page.backlog = {QJsonObject{{"level", "warning"},
                                    {"source", "console-api"},
                                    {"text", "low stock"},
                                    {"url", "https://shop.example/js/app.js"},
                                    {"line", 7}}};
        phone.addPage(QStringLiteral("PID:311"), page);
        FakeDevice pad(kPad, QStringLiteral("Ada's iPad"), pairing);
        pad.setTrusted(false);
        pad.setProductVersion(QStringLiteral("16.7.2"));
        FakeUsbmuxd usbmuxd;
        QVERIFY(usbmuxd.start());
        usbmuxd.setPairRecord(kPhone, pairing.pairRecord());
        usbmuxd.plug(kPhone, &phone);
        usbmuxd.plug(kPad, &pad);

        QTemporaryDir bin;
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), bin.path() + QStringLiteral(":/usr/bin:/bin"));
        environment.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), usbmuxd.address());
        environment.remove(QStringLiteral("DISPLAY"));
        process.setProcessEnvironment(environment);
        process.start(qEnvironmentVariable("TAVOLIN_BIN"), {"--dump", "3"});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));

        const QStringList padLines{
            QStringLiteral("device Ada's iPad [iOS 16.7.2] kind=device transport=usbmux"),
            QString::fromUtf8("  window title: Ada's iPad \u2014 iOS 16.7.2"),
            QStringLiteral("  trouble: Not paired. Unlock the device and trust this Mac."),
        };
        const qsizetype padAt = lines.indexOf(padLines.first());
        QVERIFY2(padAt >= 0, qPrintable(lines.join('\n')));
        QCOMPARE(lines.mid(padAt, 3), padLines);

        const qsizetype phoneAt =
            lines.indexOf(QStringLiteral("device Zoe's iPhone [iOS 17.5] kind=device transport=usbmux"));
        QVERIFY2(phoneAt > padAt, qPrintable(lines.join('\n')));
        QCOMPARE(lines.value(phoneAt + 1), QString::fromUtf8("  window title: Zoe's iPhone \u2014 iOS 17.5"));
        QCOMPARE(lines.value(phoneAt + 2), QStringLiteral("  app Safari pid=311 icon=none"));
        QCOMPARE(lines.value(phoneAt + 3), QString::fromUtf8("    Shop \u2014 1 messages"));
        QCOMPARE(lines.value(phoneAt + 4), QStringLiteral("      shop.example/cart"));
        QCOMPARE(lines.value(phoneAt + 5), QStringLiteral("    [warning] low stock (app.js:7)"));
        // The program's service connection ended with the process.
        QVERIFY(usbmuxd.waitUntil([&] { return phone.serviceConnections() == 0; }));
    }
};

QTEST_GUILESS_MAIN(DeviceDumpTest)
#include "tst_device_dump.moc"
