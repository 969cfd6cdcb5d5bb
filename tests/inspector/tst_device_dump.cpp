// The built program's --dump report with fake USB devices as the only targets: found through the
// fake usbmuxd that USBMUXD_SOCKET_ADDRESS names, reached over lockdown and the TLS service.
#include "support/FakeDevice.h"
#include "support/FakeUsbmuxd.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class TestDeviceDump : public QObject {
    Q_OBJECT

private slots:
    void reportsTheDevices() {
        std::signal(SIGPIPE, SIG_IGN);
        const PairingCertificates pairing = PairingCertificates::generate();
        FakeDevice phone(QStringLiteral("00008110-000A11112222801E"), QStringLiteral("Zoe's iPhone"),
                         pairing);
        phone.addApp({QStringLiteral("PID:311"), QStringLiteral("Safari"), std::nullopt, std::nullopt});
        FakeInspectorDaemon::Page page = FakeInspectorDaemon::page(1, "Shop", "https://shop.example/cart");
        page.backlog = {QJsonObject{{"level", "warning"},
                                    {"source", "console-api"},
                                    {"text", "low stock"},
                                    {"url", "https://shop.example/js/app.js"},
                                    {"line", 7}}};
        phone.addPage(QStringLiteral("PID:311"), page);
        FakeDevice pad(QStringLiteral("00008027-000B33334444002E"), QStringLiteral("Ada's iPad"), pairing);
        pad.setTrusted(false);
        pad.setProductVersion(QStringLiteral("16.7.2"));
        FakeUsbmuxd usbmuxd;
        QVERIFY(usbmuxd.start());
        usbmuxd.setPairRecord(phone.udid(), pairing.pairRecord());
        usbmuxd.plug(phone.udid(), &phone);
        usbmuxd.plug(pad.udid(), &pad);

        QTemporaryDir bin;
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), bin.path() + QStringLiteral(":/usr/bin:/bin"));
        environment.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), usbmuxd.address());
        environment.remove(QStringLiteral("DISPLAY"));
        process.setProcessEnvironment(environment);
        process.start(qEnvironmentVariable("TAVOLIN_BIN"), {"--dump", "3"});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        const QString report = QString::fromUtf8(process.readAllStandardOutput());
        const QString expected =
            QString::fromUtf8("device Ada's iPad [iOS 16.7.2] kind=device transport=usbmux\n"
                              "  window title: Ada's iPad \u2014 iOS 16.7.2\n"
                              "  trouble: Not paired. Unlock the device and trust this Mac.\n"
                              "device Zoe's iPhone [iOS 17.5] kind=device transport=usbmux\n"
                              "  window title: Zoe's iPhone \u2014 iOS 17.5\n"
                              "  app Safari pid=311 icon=none\n"
                              "    Shop \u2014 1 messages\n"
                              "      shop.example/cart\n"
                              "    [warning] low stock (app.js:7)\n");
        QVERIFY2(report.contains(expected), qPrintable(report));
        // The program's service connection ended with the process.
        QVERIFY(usbmuxd.waitUntil([&] { return phone.serviceConnections() == 0; }));
    }
};

QTEST_GUILESS_MAIN(TestDeviceDump)
#include "tst_device_dump.moc"
