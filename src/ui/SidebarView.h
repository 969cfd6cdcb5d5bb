#pragma once

#include "console/ConsoleScope.h"

#include <QListView>
#include <QPointer>

class ConsoleActions;
class ConsoleHub;

// The sidebar of a console window: every device, its applications that have webviews, and their
// pages, with counts, trouble texts and markers; a note under a device without webviews; and only
// "No booted simulators or devices" when there is no device at all. Chevrons collapse a device or an
// application. Hovering a page row highlights the page on its device.
//
// The selection is the window's scope. A selected page that reloads under a new number, or an
// application that restarts under a new identifier, stays selected when the hub finds it again.
// Rebuilt from the hub's inventory when it changes; counts follow the store, at most once per turn
// of the event loop. Main thread.
class SidebarView : public QListView {
    Q_OBJECT

public:
    SidebarView(ConsoleHub* hub, ConsoleActions* actions, QWidget* parent = nullptr);
    ~SidebarView() override;

    ConsoleScope scope() const;
    // Selects the scope's row (a scope without a row stays the scope, with no row selected).
    void setScope(const ConsoleScope& scope);

signals:
    // The user picked another row, or a reloaded page or restarted application was found again.
    void scopeChanged(const ConsoleScope& scope);

private:
    QPointer<ConsoleHub> m_hub;
    QPointer<ConsoleActions> m_actions;
};
