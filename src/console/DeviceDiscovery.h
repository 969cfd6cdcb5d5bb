#pragma once

#include "inspector/InspectableDevice.h"
#include "wire/WIRTransport.h"

#include <QList>

#include <functional>
#include <memory>

// How devices are found and reached. Every part may be empty: an empty list finds nothing, an empty
// transport reaches nothing. The standard discovery asks the simulator tools and usbmuxd.
struct DeviceDiscovery {
    std::function<QList<InspectableDevice>()> simulators;
    std::function<QList<InspectableDevice>()> devices;
    std::function<std::shared_ptr<WIRTransport>(const InspectableDevice&)> transport;

    static DeviceDiscovery standard();
};
