#pragma once

#include <QIcon>
#include <QString>

// The window's symbols by the names the design uses ("gearshape", "trash", ...), each mapped to a
// freedesktop icon name, so the desktop's theme draws them, with Breeze as the fallback theme.
class Icons {
public:
    static constexpr auto kFallbackTheme = "breeze";

    // Makes Breeze (or Breeze Dark, for a dark palette) the fallback theme and the system icon folders
    // searchable; call once the application object and its palette exist.
    static void install();

    // The icon for a symbol name; a null icon for a name the table does not know.
    static QIcon symbol(const QString& name);
    // The freedesktop name a symbol maps to; empty when the table does not know it.
    static QString themeName(const QString& symbol);
};
