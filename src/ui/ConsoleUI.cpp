#include "ui/ConsoleUI.h"

ConsoleUI& ConsoleUI::shared() {
    static ConsoleUI instance;
    return instance;
}

void ConsoleUI::setShowsSettings(bool shows) {
    if (shows == m_showsSettings)
        return;
    m_showsSettings = shows;
    emit showsSettingsChanged(shows);
}
