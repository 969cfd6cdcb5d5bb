#include "inspector/PhysicalDevices.h"

#include "wire/DeviceTransport.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>

#include <cstdlib>

namespace PhysicalDevices {

QList<InspectableDevice> attached() {
    QList<InspectableDevice> result;
    idevice_info_t* list = nullptr;
    int count = 0;
    if (idevice_get_device_list_extended(&list, &count) != IDEVICE_E_SUCCESS || !list)
        return result;
    for (int i = 0; i < count; ++i) {
        const idevice_info_t info = list[i];
        if (!info || info->conn_type != CONNECTION_USBMUXD || !info->udid)
            continue;
        if (std::optional<InspectableDevice> device = describe(QString::fromUtf8(info->udid)))
            result.append(std::move(*device));
    }
    idevice_device_list_extended_free(list);
    sortByName(result);
    return result;
}

std::optional<InspectableDevice> describe(const QString& udid) {
    const QByteArray udidBytes = udid.toUtf8();
    idevice_t device = nullptr;
    if (idevice_new_with_options(&device, udidBytes.constData(), IDEVICE_LOOKUP_USBMUX) !=
            IDEVICE_E_SUCCESS ||
        !device)
        return std::nullopt;
    lockdownd_client_t client = nullptr;
    if (lockdownd_client_new_with_handshake(device, &client, DeviceTransport::kClientLabel) !=
            LOCKDOWN_E_SUCCESS ||
        !client) {
        if (client)
            lockdownd_client_free(client);
        client = nullptr;
        // A device that is locked or does not trust this computer refuses the session, but still
        // tells its name and version. It is listed, so that connecting to it can say what is wrong.
        if (lockdownd_client_new(device, &client, DeviceTransport::kClientLabel) != LOCKDOWN_E_SUCCESS ||
            !client) {
            if (client)
                lockdownd_client_free(client);
            idevice_free(device);
            return std::nullopt;
        }
    }
    char* name = nullptr;
    if (lockdownd_get_device_name(client, &name) != LOCKDOWN_E_SUCCESS || !name) {
        std::free(name);
        lockdownd_client_free(client);
        idevice_free(device);
        return std::nullopt;
    }
    InspectableDevice record;
    record.udid = udid;
    record.name = QString::fromUtf8(name);
    const std::optional<QString> version = DeviceTransport::lockdownString("ProductVersion", client);
    record.runtime = version ? QStringLiteral("iOS ") + *version : QStringLiteral("device");
    record.kind = InspectableDevice::Kind::device;
    std::free(name);
    lockdownd_client_free(client);
    idevice_free(device);
    return record;
}

} // namespace PhysicalDevices
