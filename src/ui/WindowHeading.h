#pragma once

#include "console/ConsoleScope.h"

#include <QString>

class ConsoleHub;

// What a console window's title says about its scope: the device, application or page, and a
// subtitle (the runtime, the process, the page's address).
struct WindowHeading {
    QString title;
    QString subtitle;

    static WindowHeading of(const ConsoleHub& hub, const ConsoleScope& scope);

    // "Title — Subtitle", or the title alone when there is no subtitle.
    QString windowTitle() const;

    friend bool operator==(const WindowHeading&, const WindowHeading&) = default;
};
