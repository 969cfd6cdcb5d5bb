#pragma once

#include "inspector/ConsoleEntry.h"
#include "inspector/InspectorApp.h"
#include "inspector/InspectorPage.h"
#include "inspector/PageKey.h"

#include <QList>

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
struct Cleared {
    PageKey page;
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
