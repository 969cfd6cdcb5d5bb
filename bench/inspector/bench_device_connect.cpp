// device_connect_ms: how long a USB device takes from a scan seeing it to its inspector connection
// being live, with real libimobiledevice talking to a fake usbmuxd and device over a unix socket:
// the lockdown handshake with its TLS session, starting the service, the service's own TLS
// handshake, and the device's first answer (its application list). Prints the median of 10.
//
// The scan itself (listing and describing the device) comes before and is printed apart, as
// device_describe_ms.
#include "inspector/PhysicalDevices.h"
#include "inspector/WebInspectorConnection.h"
#include "support/FakeDevice.h"
#include "support/FakeUsbmuxd.h"
#include "wire/DeviceTransport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const QString udid = QStringLiteral("00008110-000A11112222801E");
    FakeDevice device(udid, QStringLiteral("Bench iPhone"), PairingCertificates::generate());
    device.addApp({QStringLiteral("PID:311"), QStringLiteral("Safari"), std::nullopt, std::nullopt});
    FakeUsbmuxd usbmuxd;
    if (!usbmuxd.start())
        return 1;
    qputenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.address().toUtf8());
    usbmuxd.setPairRecord(udid, device.pairing().pairRecord());
    usbmuxd.plug(udid, &device);

    constexpr int kRuns = 10;
    std::vector<double> describe, connect;
    for (int run = 0; run < kRuns; ++run) {
        const Clock::time_point scanning = Clock::now();
        const std::optional<QList<InspectableDevice>> found = PhysicalDevices::attached();
        describe.push_back(since(scanning));
        if (!found || found->size() != 1) {
            std::fprintf(stderr, "the device was not found\n");
            return 1;
        }

        const Clock::time_point seen = Clock::now();
        auto transport = std::make_shared<DeviceTransport>(udid);
        if (transport->open()) {
            std::fprintf(stderr, "the device's service did not open\n");
            return 1;
        }
        WebInspectorConnection connection(udid, transport);
        QEventLoop loop;
        bool live = false;
        connection.onApps = [&](QList<InspectorApp> apps) {
            if (!apps.isEmpty() && !live) {
                live = true;
                loop.quit();
            }
        };
        if (connection.start())
            return 1;
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        if (!live) {
            std::fprintf(stderr, "the connection never came alive\n");
            return 1;
        }
        connect.push_back(since(seen));
        connection.stop();
    }
    std::printf("device_describe_ms: %.1f ms\n", median(describe));
    std::printf("device_connect_ms: %.1f ms\n", median(connect));
    return 0;
}
