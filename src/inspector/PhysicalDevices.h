#pragma once

#include "inspector/InspectableDevice.h"

#include <QList>
#include <QString>

#include <optional>

struct lockdownd_client_private;

// Finds iOS devices attached over USB through usbmuxd and describes each one through lockdown.
// Stateless and blocking: every device costs a lockdown handshake.
namespace PhysicalDevices {

QList<InspectableDevice> attached();
std::optional<InspectableDevice> describe(const QString& udid);
std::optional<QString> value(const char* key, lockdownd_client_private* client);

} // namespace PhysicalDevices
