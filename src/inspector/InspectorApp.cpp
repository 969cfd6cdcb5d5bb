#include "inspector/InspectorApp.h"

std::optional<qint64> InspectorApp::pid() const {
    const qsizetype colon = key.appID.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return std::nullopt;
    const QStringView rest = QStringView(key.appID).mid(colon + 1);
    if (rest.isEmpty())
        return std::nullopt;
    bool ok = false;
    const qint64 value = rest.toLongLong(&ok, 10);
    return ok ? std::optional(value) : std::nullopt;
}
