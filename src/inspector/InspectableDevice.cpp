#include "inspector/InspectableDevice.h"

#include <algorithm>

size_t qHash(const InspectableDevice& device, size_t seed) noexcept {
    return qHashMulti(seed, device.udid, device.name, device.runtime, int(device.kind), device.socketPath.has_value(),
                      device.socketPath.value_or(QString()));
}

void sortByName(QList<InspectableDevice>& devices) {
    std::stable_sort(devices.begin(), devices.end(), [](const InspectableDevice& a, const InspectableDevice& b) {
        return QString::compare(a.name, b.name, Qt::CaseSensitive) < 0;
    });
}
