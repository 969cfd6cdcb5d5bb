#include "ui/SidebarRow.h"

#include <QStringList>

int SidebarRow::indent() const {
    switch (kind) {
    case Kind::device:
        return 0;
    case Kind::page:
        return 28;
    case Kind::app:
    case Kind::note:
        break;
    }
    return deviceID.isEmpty() ? 0 : 14;
}

QString SidebarRow::accessibleText() const {
    QStringList parts{title};
    for (const QString& part : {subtitle, thirdLine})
        if (!part.isEmpty())
            parts << part;
    if (scope)
        parts << QString::number(count);
    return parts.join(QStringLiteral(", "));
}

QString SidebarRow::accessibleDescription() const {
    QStringList parts;
    if (parent)
        parts << (open ? collapseHelp() : expandHelp());
    if (claimed)
        parts << claimedHelp();
    if (unresponsive)
        parts << unresponsiveHelp();
    return parts.join(QStringLiteral(" "));
}
