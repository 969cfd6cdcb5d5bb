#pragma once

#include "console/ConsoleScope.h"

#include <QImage>
#include <QString>

#include <optional>

// One line of the sidebar: a device, an application, a page, or a note under a device (a note
// without a device is the text shown when there is no device at all).
struct SidebarRow {
    enum class Kind { device, app, page, note };

    Kind kind = Kind::note;
    std::optional<ConsoleScope> scope{}; // what selecting the row selects; none for a note
    QString deviceID{};
    QString id{};     // stable across rebuilds: the kind's letter and the keys
    QString symbol{}; // icon name for Icons::symbol; empty for none
    QImage icon{};    // an application's own icon, already rounded; replaces the symbol
    QString title{}, subtitle{}, thirdLine{};
    bool parent = false, open = false; // has children, and they are shown
    bool claimed = false, unresponsive = false;
    qsizetype count = 0;

    // Help texts of the chevron and the page markers.
    static QString collapseHelp() { return QStringLiteral("Collapse"); }
    static QString expandHelp() { return QStringLiteral("Expand"); }
    static QString claimedHelp() { return QStringLiteral("Open in Safari's Web Inspector (not collecting)"); }
    static QString unresponsiveHelp() {
        return QStringLiteral("Not answering \u2014 the page's main thread is busy");
    }

    int indent() const;
    // The visible texts, for accessibility.
    QString accessibleText() const;
    // The help texts of the chevron and the markers.
    QString accessibleDescription() const;
};
