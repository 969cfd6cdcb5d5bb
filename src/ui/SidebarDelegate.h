#pragma once

#include <QPointer>
#include <QStyledItemDelegate>

class SidebarModel;
struct SidebarRow;

// Paints the sidebar's rows: indentation, chevron, icon, the title with its subtitle and third line,
// and at the end the count and a page's markers, whose help texts show over them.
class SidebarDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    SidebarDelegate(const SidebarModel* model, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // Where a row's chevron takes clicks; empty for a row without one.
    static QRect chevronRect(const QRect& rowRect, const SidebarRow& row);

private:
    struct Marker {
        QRect rect;
        QString symbol;
        QString help;
    };
    // The page markers, left to right, and the count's rectangle after them.
    QList<Marker> markers(const QStyleOptionViewItem& option, const SidebarRow& row, QRect* count) const;

    QPointer<const SidebarModel> m_model;
};
