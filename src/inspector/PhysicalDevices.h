#pragma once

#include "inspector/InspectableDevice.h"

#include <QList>
#include <QString>

#include <optional>

// Finds iOS devices attached over USB through usbmuxd and describes each one through lockdown.
// A device that refuses the lockdown session (locked, or not trusting this computer) is described
// from what lockdown tells without one, and listed: connecting to it then reports the pairing.
// Stateless and blocking: every device costs a lockdown handshake.
namespace PhysicalDevices {

// Nothing when usbmuxd cannot be asked, which is not the same as none attached. A device whose
// lockdown does not answer this time is listed as `known` describes it, if it does.
std::optional<QList<InspectableDevice>> attached(const QList<InspectableDevice>& known = {});
std::optional<InspectableDevice> describe(const QString& udid);

} // namespace PhysicalDevices
