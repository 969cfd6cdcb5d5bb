#pragma once

#include "console/ConsoleHub.h"
#include "console/ConsoleScope.h"

#include <QString>

#include <optional>
#include <utility>

// Keeps a selected application or page selected across a restart or a reload, which give it a new
// key: remembers an application's name and a page's mark while they exist, and looks them up again
// once their keys are gone.
class SelectionKeeper {
public:
    // Notes how to find the scope again. A device scope forgets both.
    void remember(const ConsoleScope& scope, const ConsoleHub& hub);

    // After the inventory changed: the scope to select instead when the selected application or
    // page is gone and was found again. The scope is remembered again while it still exists.
    std::optional<ConsoleScope> restore(const ConsoleScope& scope, const ConsoleHub& hub);

private:
    std::optional<ConsoleHub::PageMark> m_mark;
    std::optional<std::pair<QString, QString>> m_app; // device identifier, application name
};
