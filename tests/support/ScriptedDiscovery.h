#pragma once

#include "console/ConsoleHub.h"
#include "wire/UnixTransport.h"

#include <QSignalSpy>

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

// Device discovery whose lists a test sets. Simulators and devices with a socket path are reached
// over that unix socket; a device's transport fails with pairingRequired while `paired` is false.
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
            if (device.kind == InspectableDevice::Kind::device)
                return std::make_shared<PairedTransport>(*device.socketPath, paired);
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

    // A unix transport that refuses to open while the device is not paired.
    class PairedTransport final : public WIRTransport {
    public:
        PairedTransport(QString path, std::shared_ptr<std::atomic<bool>> paired)
            : m_inner(std::move(path)), m_paired(std::move(paired)) {}
        std::optional<WIRError> open() override {
            if (!m_paired->load())
                return WIRError::pairingRequired();
            return m_inner.open();
        }
        bool send(const QByteArray& data) override { return m_inner.send(data); }
        std::optional<QByteArray> receive(std::size_t count) override { return m_inner.receive(count); }
        void close() override { m_inner.close(); }

    private:
        UnixTransport m_inner;
        std::shared_ptr<std::atomic<bool>> m_paired;
    };
};
