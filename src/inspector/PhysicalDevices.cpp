#include "inspector/PhysicalDevices.h"

#include "base/Logging.h"
#include "wire/DeviceHandles.h"
#include "wire/DeviceTransport.h"

#include <algorithm>

namespace PhysicalDevices {

std::optional<QList<InspectableDevice>> attached(const QList<InspectableDevice>& known) {
    QList<InspectableDevice> result;
    idevice_info_t* raw = nullptr;
    int count = 0;
    const bool listed = idevice_get_device_list_extended(&raw, &count) == IDEVICE_E_SUCCESS;
    const DeviceListPtr list{raw};
    if (!listed) {
        // Debug only: most machines without a device have no usbmuxd at all.
        qCDebug(lcDiscovery) << "usbmuxd does not list devices";
        return std::nullopt;
    }
    for (int i = 0; list && i < count; ++i) {
        const idevice_info_t info = list.get()[i];
        if (!info || info->conn_type != CONNECTION_USBMUXD || !info->udid)
            continue;
        const QString udid = QString::fromUtf8(info->udid);
        if (std::optional<InspectableDevice> device = describe(udid)) {
            result.append(std::move(*device));
            continue;
        }
        // A busy device is not a gone one: it keeps its last description.
        const auto last = std::find_if(known.cbegin(), known.cend(),
                                       [&](const InspectableDevice& device) { return device.udid == udid; });
        if (last != known.cend())
            result.append(*last);
    }
    sortByName(result);
    return result;
}

std::optional<InspectableDevice> describe(const QString& udid) {
    const QByteArray udidBytes = udid.toUtf8();
    idevice_t rawDevice = nullptr;
    const bool found = idevice_new_with_options(&rawDevice, udidBytes.constData(), IDEVICE_LOOKUP_USBMUX) ==
                       IDEVICE_E_SUCCESS;
    const DevicePtr device{rawDevice};
    if (!found || !device)
        return std::nullopt;
    lockdownd_client_t rawClient = nullptr;
    bool opened = lockdownd_client_new_with_handshake(device.get(), &rawClient,
                                                      DeviceTransport::kClientLabel) == LOCKDOWN_E_SUCCESS;
    LockdownPtr client{rawClient};
    if (!opened || !client) {
        // A device that is locked or does not trust this computer refuses the session, but still
        // tells its name and version. It is listed, so that connecting to it can say what is wrong.
        client.reset();
        rawClient = nullptr;
        opened = lockdownd_client_new(device.get(), &rawClient, DeviceTransport::kClientLabel) ==
                 LOCKDOWN_E_SUCCESS;
        client.reset(rawClient);
        if (!opened || !client) {
            qCWarning(lcDiscovery) << "lockdown of device" << udid << "does not answer";
            return std::nullopt;
        }
    }
    char* rawName = nullptr;
    const bool named = lockdownd_get_device_name(client.get(), &rawName) == LOCKDOWN_E_SUCCESS;
    const MallocPtr<char> name{rawName};
    if (!named || !name) {
        qCWarning(lcDiscovery) << "device" << udid << "did not tell its name";
        return std::nullopt;
    }
    InspectableDevice record;
    record.udid = udid;
    record.name = QString::fromUtf8(name.get());
    const std::optional<QString> version = DeviceTransport::lockdownString("ProductVersion", client.get());
    record.runtime = version ? QStringLiteral("iOS ") + *version : QStringLiteral("device");
    record.kind = InspectableDevice::Kind::device;
    return record;
}

} // namespace PhysicalDevices
