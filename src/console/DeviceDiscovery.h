#pragma once

#include "inspector/InspectableDevice.h"
#include "wire/WIRTransport.h"

#include <QList>

#include <functional>
#include <memory>
#include <optional>

// How devices are found and reached. Every part may be empty: an empty source finds nothing, an empty
// transport reaches nothing. The standard discovery asks the simulator tools and usbmuxd.
struct DeviceDiscovery {
    // Given what it found last time, what a source finds now; nothing when it could not tell (a
    // failed tool run, usbmuxd not answering), and then what it found last time stands.
    using Source =
        std::function<std::optional<QList<InspectableDevice>>(const QList<InspectableDevice>& last)>;

    Source simulators;
    Source devices;
    std::function<std::shared_ptr<WIRTransport>(const InspectableDevice&)> transport;

    static DeviceDiscovery standard();
};
