#include "ui/WindowHeading.h"

#include "console/ConsoleHub.h"

#include <variant>

WindowHeading WindowHeading::of(const ConsoleHub& hub, const ConsoleScope& scope) {
    if (const auto* device = std::get_if<ConsoleScope::Device>(&scope.value())) {
        for (const InspectableDevice& known : hub.devices()) {
            if (known.udid == device->deviceID)
                return {known.name, known.runtime};
        }
        return {QStringLiteral("Simulator"), {}};
    }
    if (const auto* app = std::get_if<AppKey>(&scope.value())) {
        const auto apps = hub.apps();
        const auto found = apps.constFind(*app);
        if (found == apps.cend())
            return {QStringLiteral("App"), {}};
        const std::optional<qint64> pid = found->pid();
        return {found->name, pid ? QStringLiteral("PID %1").arg(*pid) : QString()};
    }
    const auto& page = std::get<PageKey>(scope.value());
    const auto pages = hub.pages();
    const auto found = pages.constFind(page);
    if (found == pages.cend())
        return {QStringLiteral("Webview"), {}};
    return {found->displayTitle(), found->shortenedUrl()};
}

QString WindowHeading::windowTitle() const {
    return subtitle.isEmpty() ? title : title + QStringLiteral(" \u2014 ") + subtitle;
}
