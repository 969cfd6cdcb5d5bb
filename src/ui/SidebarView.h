#pragma once

#include "console/ConsoleScope.h"
#include "inspector/PageKey.h"
#include "ui/SelectionKeeper.h"

#include <QListView>
#include <QPointer>

#include <optional>

class ConsoleActions;
class ConsoleHub;
class SidebarModel;

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

    // The selected scope; a device scope with an empty identifier before any was set.
    ConsoleScope scope() const;
    // Selects the scope's row (a scope without a row stays the scope, with no row selected).
    void setScope(const ConsoleScope& scope);

    // 310 wide; at least 250.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // The user picked another row, or a reloaded page or restarted application was found again.
    void scopeChanged(const ConsoleScope& scope);

protected:
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    void scheduleRebuild();
    void scheduleCounts();
    void rebuild();
    void selectRow();
    // Consumes a press on a chevron or a note; true when it did.
    bool pressOutsideSelection(QMouseEvent* event);
    void hoverPage(std::optional<PageKey> page);

    QPointer<ConsoleHub> m_hub;
    QPointer<ConsoleActions> m_actions;
    SidebarModel* m_model;
    SelectionKeeper m_keeper;
    std::optional<ConsoleScope> m_scope;
    std::optional<PageKey> m_hovered;
    bool m_selecting = false; // selecting a row for the code, not for the user
    bool m_rebuildQueued = false, m_countsQueued = false;
};
