#pragma once

#include "console/ConsoleHub.h"
#include "wire/UnixTransport.h"

#include <QSignalSpy>

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

// Device discovery whose lists a test sets. Simulators and devices with a socket path are reached
// over that unix socket; a device's transport made while `paired` is false fails with pairingRequired.
// A source set to fail cannot tell what it has, once.
class ScriptedDiscovery {
public:
    std::mutex lock;
    QList<InspectableDevice> simulators;
    QList<InspectableDevice> devices;
    bool simulatorsFail = false, devicesFail = false;
    std::shared_ptr<std::atomic<bool>> paired = std::make_shared<std::atomic<bool>>(true);
    std::atomic<int> transportsMade{0};

    ConsoleHub::Discovery discovery() {
        ConsoleHub::Discovery d;
        d.simulators = [this](const QList<InspectableDevice>&) { return take(simulators, simulatorsFail); };
        d.devices = [this](const QList<InspectableDevice>&) { return take(devices, devicesFail); };
        d.transport = [this](const InspectableDevice& device) -> std::shared_ptr<WIRTransport> {
            if (!device.socketPath)
                return nullptr;
            ++transportsMade;
            if (device.kind == InspectableDevice::Kind::device && !paired->load())
                return std::make_shared<UnpairedTransport>();
            return std::make_shared<UnixTransport>(*device.socketPath);
        };
        return d;
    }

    static InspectableDevice simulator(const QString& udid, const QString& name,
                                       const std::optional<QString>& socket) {
        return InspectableDevice{udid, name, QStringLiteral("iOS 17.5"), InspectableDevice::Kind::simulator,
                                 socket};
    }

    // Runs one scan and waits until its result has been applied.
    static bool scan(ConsoleHub& hub) {
        QSignalSpy finished(&hub, &ConsoleHub::scanFinished);
        hub.rescanDevices();
        return finished.wait(10000);
    }

private:
    std::optional<QList<InspectableDevice>> take(const QList<InspectableDevice>& list, bool& fail) {
        std::lock_guard guard(lock);
        if (std::exchange(fail, false))
            return std::nullopt;
        return list;
    }

    // What a device that does not trust the host gives: a transport that refuses to open.
    struct UnpairedTransport final : WIRTransport {
        std::optional<WIRError> open() override { return WIRError::pairingRequired(); }
        bool send(const QByteArray&) override { return false; }
        std::optional<QByteArray> receive(std::size_t) override { return std::nullopt; }
        void close() override {}
    };
};
