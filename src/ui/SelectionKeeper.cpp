#include "ui/SelectionKeeper.h"

void SelectionKeeper::remember(const ConsoleScope& scope, const ConsoleHub& hub) {
    const ConsoleScope::Value& value = scope.value();
    if (const AppKey* app = std::get_if<AppKey>(&value)) {
        const auto apps = hub.apps();
        if (const auto it = apps.constFind(*app); it != apps.cend())
            m_app = std::pair(app->deviceID, it->name);
    } else if (const PageKey* page = std::get_if<PageKey>(&value)) {
        if (auto mark = hub.mark(*page))
            m_mark = std::move(mark);
    } else {
        m_mark.reset();
        m_app.reset();
    }
}

std::optional<ConsoleScope> SelectionKeeper::restore(const ConsoleScope& scope, const ConsoleHub& hub) {
    const ConsoleScope::Value& value = scope.value();
    std::optional<ConsoleScope> found;
    if (const AppKey* app = std::get_if<AppKey>(&value); app && !hub.apps().contains(*app)) {
        if (!m_app)
            return std::nullopt;
        const auto key = hub.app(m_app->second, m_app->first);
        if (!key)
            return std::nullopt;
        found = ConsoleScope::app(*key);
    } else if (const PageKey* page = std::get_if<PageKey>(&value); page && !hub.pages().contains(*page)) {
        const auto key = m_mark ? hub.page(*m_mark) : std::nullopt;
        if (!key)
            return std::nullopt;
        found = ConsoleScope::page(*key);
    }
    remember(found.value_or(scope), hub);
    return found;
}
