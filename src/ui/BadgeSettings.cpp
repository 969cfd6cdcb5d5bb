#include "ui/BadgeSettings.h"

#include "base/Preferences.h"

BadgeSettings& BadgeSettings::shared() {
    static BadgeSettings instance;
    return instance;
}

QStringList BadgeSettings::placements() {
    return {QStringLiteral("left"), QStringLiteral("toolbar"), QStringLiteral("right")};
}

bool BadgeSettings::isEnabled() const {
    return Preferences::badgeEnabled();
}

void BadgeSettings::setEnabled(bool enabled) {
    if (enabled == isEnabled())
        return;
    Preferences::setBadgeEnabled(enabled);
    emit changed();
}

QString BadgeSettings::placement() const {
    return Preferences::badgePlacement();
}

void BadgeSettings::setPlacement(const QString& placement) {
    if (!placements().contains(placement) || placement == this->placement())
        return;
    Preferences::setBadgePlacement(placement);
    emit changed();
}
