#pragma once

#include <QString>

// Whether this process can read the window list of other applications. On Linux that means an X11
// display named by DISPLAY that accepts our connection.
namespace DisplayAccess {

bool granted();
// Probes one display name (":0", "unix:1", "host:2.0").
bool answers(const QString& display);

} // namespace DisplayAccess
