#pragma once

#include "inspector/ConsoleEntry.h"
#include "inspector/InspectorApp.h"
#include "inspector/InspectorPage.h"
#include "inspector/PageKey.h"

#include <QList>
#include <QString>

#include <functional>
#include <variant>
#include <vector>

// What a connection's queue hands to its owner's thread, in the order it happened.
namespace ConnectionEvents {

struct Apps {
    QList<InspectorApp> apps;
};
struct Pages {
    QList<InspectorPage> pages;
};
// A page cleared its console. `reason` is the page's ("console-api", "main-frame-navigation"; empty
// when it gave none); `address` the page's new address after a navigation, when it was asked for.
struct Cleared {
    static inline const QString kNavigation = QStringLiteral("main-frame-navigation");
    PageKey page;
    QString reason{};
    QString address{};
};
struct Repeat {
    PageKey page;
    qint64 count;
};
// Entries that came one after another; the queue gathers each ConsoleEntry posted into the run
// before it, so a run goes to the store whole, without a copy.
struct Entries {
    QList<ConsoleEntry> entries;
};
using Event = std::variant<Apps, Pages, ConsoleEntry, Entries, Cleared, Repeat, std::function<void()>>;
using Batch = std::vector<Event>;

} // namespace ConnectionEvents
