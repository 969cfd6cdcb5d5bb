#pragma once

#include <QString>
#include <QStringList>

// Whether this process can read the window list of other applications. On Linux that means an X11
// display named by DISPLAY that accepts our connection.
namespace DisplayAccess {

bool granted();
// Probes one display name (":0", "unix:1", "host:2.0").
bool answers(const QString& display);

// Whether a display's server can be reached at all (credentials are the toolkit's business).
bool reachable(const QString& display);
// Whether the toolkit can open windows: a platform or Wayland display named, or an X display that
// can be reached. Asked before the toolkit starts, which aborts the process without one.
bool canShowWindows(const QStringList& arguments);

} // namespace DisplayAccess
