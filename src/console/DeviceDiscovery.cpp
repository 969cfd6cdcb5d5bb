#include "console/DeviceDiscovery.h"

#include "inspector/PhysicalDevices.h"
#include "inspector/SimulatorDevices.h"
#include "wire/DeviceTransport.h"
#include "wire/UnixTransport.h"

DeviceDiscovery DeviceDiscovery::standard() {
    DeviceDiscovery discovery;
    discovery.simulators = [](const QList<InspectableDevice>&) { return SimulatorDevices::booted(); };
    discovery.devices = [](const QList<InspectableDevice>& last) { return PhysicalDevices::attached(last); };
    discovery.transport = [](const InspectableDevice& device) -> std::shared_ptr<WIRTransport> {
        if (device.kind == InspectableDevice::Kind::device)
            return std::make_shared<DeviceTransport>(device.udid);
        if (device.socketPath)
            return std::make_shared<UnixTransport>(*device.socketPath);
        return nullptr;
    };
    return discovery;
}
