#include "ui/SidebarView.h"

#include "console/ConsoleHub.h"
#include "ui/ConsoleActions.h"
#include "ui/SidebarDelegate.h"
#include "ui/SidebarModel.h"

#include <QMouseEvent>
#include <QScopedValueRollback>

namespace {
constexpr int kIdealWidth = 310, kMinimumWidth = 250;
}

SidebarView::SidebarView(ConsoleHub* hub, ConsoleActions* actions, QWidget* parent)
    : QListView(parent), m_hub(hub), m_actions(actions), m_model(new SidebarModel(hub, this)) {
    setModel(m_model);
    setItemDelegate(new SidebarDelegate(m_model, this));
    setSelectionMode(SingleSelection);
    setEditTriggers(NoEditTriggers);
    setFrameShape(NoFrame);
    setMouseTracking(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(ScrollPerPixel);
    connect(m_model, &QAbstractItemModel::modelReset, this, &SidebarView::selectRow);
    if (!hub)
        return;
    for (auto change : {&ConsoleHub::devicesChanged, &ConsoleHub::troubleChanged,
                        &ConsoleHub::revisionChanged, &ConsoleHub::appsChanged, &ConsoleHub::pagesChanged})
        connect(hub, change, this, &SidebarView::scheduleRebuild);
    connect(hub, &ConsoleHub::entriesChanged, this, &SidebarView::scheduleCounts);
}

SidebarView::~SidebarView() {
    hoverPage(std::nullopt);
}

ConsoleScope SidebarView::scope() const {
    return m_scope.value_or(ConsoleScope::device({}));
}

void SidebarView::setScope(const ConsoleScope& scope) {
    m_scope = scope;
    if (m_hub)
        m_keeper.remember(scope, *m_hub);
    selectRow();
    if (const int row = m_model->rowOf(scope); row >= 0)
        scrollTo(m_model->index(row));
}

QSize SidebarView::sizeHint() const {
    return {kIdealWidth, QListView::sizeHint().height()};
}

QSize SidebarView::minimumSizeHint() const {
    return {kMinimumWidth, QListView::minimumSizeHint().height()};
}

void SidebarView::scheduleRebuild() {
    if (std::exchange(m_rebuildQueued, true))
        return;
    QMetaObject::invokeMethod(this, &SidebarView::rebuild, Qt::QueuedConnection);
}

void SidebarView::scheduleCounts() {
    if (std::exchange(m_countsQueued, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_countsQueued = false;
            m_model->refreshCounts();
        },
        Qt::QueuedConnection);
}

void SidebarView::rebuild() {
    m_rebuildQueued = false;
    if (!m_hub)
        return;
    const std::optional<ConsoleScope> found = m_scope ? m_keeper.restore(*m_scope, *m_hub) : std::nullopt;
    if (found)
        m_scope = found;
    m_model->rebuild();
    selectRow();
    if (!found)
        return;
    if (const int row = m_model->rowOf(*found); row >= 0)
        scrollTo(m_model->index(row));
    emit scopeChanged(*found);
}

// Shows the scope's row as selected, without telling anyone.
void SidebarView::selectRow() {
    const int row = m_scope ? m_model->rowOf(*m_scope) : -1;
    const QModelIndex index = m_model->index(row);
    if (index.isValid() && selectionModel()->isSelected(index))
        return;
    const QScopedValueRollback guard(m_selecting, true);
    if (index.isValid()) {
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    } else {
        selectionModel()->clear();
    }
}

void SidebarView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    QListView::selectionChanged(selected, deselected);
    if (m_selecting)
        return;
    const QModelIndexList rows = selectionModel()->selectedIndexes();
    if (rows.isEmpty()) { // nothing picked instead: the scope stays, and so does its row
        QMetaObject::invokeMethod(this, &SidebarView::selectRow, Qt::QueuedConnection);
        return;
    }
    const auto& picked = m_model->row(rows.first().row()).scope;
    if (!picked || picked == m_scope)
        return;
    setScope(*picked);
    emit scopeChanged(*picked);
}

// The keys step over the notes: on in the direction of the move, else back.
QModelIndex SidebarView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const QModelIndex next = QListView::moveCursor(action, modifiers);
    if (!next.isValid() || m_model->row(next.row()).scope)
        return next;
    const auto selectable = [this](int row, int step) {
        for (; row >= 0 && row < m_model->rowCount(); row += step)
            if (m_model->row(row).scope)
                return m_model->index(row);
        return QModelIndex();
    };
    const int step = next.row() < currentIndex().row() ? -1 : 1;
    QModelIndex found = selectable(next.row(), step);
    if (!found.isValid())
        found = selectable(next.row(), -step);
    return found.isValid() ? found : currentIndex();
}

bool SidebarView::pressOutsideSelection(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return false;
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid())
        return false;
    const SidebarRow& row = m_model->row(index.row());
    if (SidebarDelegate::chevronRect(visualRect(index), row).contains(event->position().toPoint())) {
        m_model->toggle(index.row());
        return true;
    }
    return !row.scope;
}

void SidebarView::mousePressEvent(QMouseEvent* event) {
    if (!pressOutsideSelection(event))
        QListView::mousePressEvent(event);
}

void SidebarView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (!pressOutsideSelection(event))
        QListView::mouseDoubleClickEvent(event);
}

void SidebarView::mouseMoveEvent(QMouseEvent* event) {
    QListView::mouseMoveEvent(event);
    const QModelIndex index = indexAt(event->position().toPoint());
    const auto& scope = index.isValid() ? m_model->row(index.row()).scope : std::nullopt;
    const PageKey* page = scope ? std::get_if<PageKey>(&scope->value()) : nullptr;
    hoverPage(page ? std::optional(*page) : std::nullopt);
}

bool SidebarView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Leave)
        hoverPage(std::nullopt);
    return QListView::viewportEvent(event);
}

void SidebarView::hoverPage(std::optional<PageKey> page) {
    if (page == m_hovered)
        return;
    if (m_actions && m_hovered)
        m_actions->hover(*m_hovered, false);
    m_hovered = std::move(page);
    if (m_actions && m_hovered)
        m_actions->hover(*m_hovered, true);
}
