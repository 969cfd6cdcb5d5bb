#pragma once

#include <QString>
#include <QUuid>

// Identifiers the program makes for itself: entries, property rows, inspector senders.
namespace Uuid {

// A fresh random (version 4) UUID. Cheap enough to call once per console message: it draws from a
// per-thread generator seeded from the system's entropy source instead of asking the kernel each time.
QUuid create();

// Upper-case canonical text without braces, the form used wherever the program writes an id out.
QString text(const QUuid& uuid);

} // namespace Uuid
