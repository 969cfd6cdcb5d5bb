#include "ui/SidebarDelegate.h"

#include "ui/Icons.h"
#include "ui/SidebarModel.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QPixmapCache>
#include <QToolTip>

namespace {

constexpr int kPadding = 2, kMargin = 6, kChevron = 12, kGap = 7, kIcon = 22, kSpacing = 1, kMarkerGap = 5;
constexpr int kHighlightInset = 3;
constexpr qreal kClaimedOpacity = 0.55;
const QString kSafari = QStringLiteral("safari");

QFont scaled(QFont font, qreal factor) {
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(std::max(1, qRound(font.pixelSize() * factor)));
    return font;
}
QFont caption(const QFont& base) {
    return scaled(base, 0.85);
}
QFont callout(const QFont& base) {
    return scaled(base, 0.93);
}

QColor blend(const QColor& from, const QColor& to, qreal amount) {
    return QColor::fromRgbF(float(from.redF() + (to.redF() - from.redF()) * amount),
                            float(from.greenF() + (to.greenF() - from.greenF()) * amount),
                            float(from.blueF() + (to.blueF() - from.blueF()) * amount));
}

// A monochrome symbol in the colour of its text, so it reads in light and dark palettes alike.
QPixmap tinted(const QString& symbol, int size, const QColor& color, qreal ratio) {
    const QString key =
        QStringLiteral("sidebar:%1:%2:%3:%4").arg(symbol).arg(size).arg(color.rgba()).arg(ratio);
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap))
        return pixmap;
    pixmap = Icons::symbol(symbol).pixmap(QSize(size, size), ratio);
    if (!pixmap.isNull()) {
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(QRect(QPoint(), pixmap.size()), color);
    }
    QPixmapCache::insert(key, pixmap);
    return pixmap;
}

void drawSymbol(QPainter* painter, const QRect& frame, const QString& symbol, int size, const QColor& color) {
    const QPixmap pixmap = tinted(symbol, size, color, painter->device()->devicePixelRatioF());
    const QRect target(frame.center().x() - size / 2, frame.center().y() - size / 2, size, size);
    painter->drawPixmap(target, pixmap);
}

int symbolSize(const SidebarRow& row) {
    switch (row.kind) {
    case SidebarRow::Kind::device:
        return 16;
    case SidebarRow::Kind::app:
        return 18;
    default:
        return 12;
    }
}

} // namespace

SidebarDelegate::SidebarDelegate(const SidebarModel* model, QObject* parent)
    : QStyledItemDelegate(parent), m_model(model) {}

QRect SidebarDelegate::chevronRect(const QRect& rowRect, const SidebarRow& row) {
    if (!row.parent)
        return {};
    return {rowRect.left() + kMargin + row.indent(), rowRect.center().y() - kChevron / 2, kChevron, kChevron};
}

QList<SidebarDelegate::Marker> SidebarDelegate::markers(const QStyleOptionViewItem& option,
                                                        const SidebarRow& row, QRect* count) const {
    const QFontMetrics metrics(caption(option.font));
    int right = option.rect.right() - kMargin - kHighlightInset;
    const int width = row.scope ? metrics.horizontalAdvance(QString::number(row.count)) : 0;
    *count = QRect(right - width, option.rect.top(), width, option.rect.height());
    right -= width + kMarkerGap;
    const int side = metrics.height();
    QList<Marker> found;
    const auto add = [&](const QString& symbol, const QString& help) {
        found.prepend(
            {QRect(right - side + 1, option.rect.center().y() - side / 2, side, side), symbol, help});
        right -= side + kMarkerGap;
    };
    if (row.unresponsive)
        add(QStringLiteral("exclamationmark.triangle.fill"), SidebarRow::unresponsiveHelp());
    if (row.claimed)
        add(kSafari, SidebarRow::claimedHelp());
    return found;
}

QSize SidebarDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    if (!m_model || !index.isValid())
        return {};
    const SidebarRow& row = m_model->row(index.row());
    if (!row.scope)
        return {kMargin, QFontMetrics(callout(option.font)).height() + 2 * kPadding + 4};
    const int line = QFontMetrics(caption(option.font)).height() + kSpacing;
    int height = QFontMetrics(option.font).height();
    height += row.subtitle.isEmpty() ? 0 : line;
    height += row.thirdLine.isEmpty() ? 0 : line;
    return {kMargin, std::max(height, kIcon) + 2 * kPadding};
}

void SidebarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    if (!m_model || !index.isValid())
        return;
    const SidebarRow& row = m_model->row(index.row());
    const QRect rect = option.rect;
    const QPalette::ColorGroup group =
        option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
    const bool selected = option.state & QStyle::State_Selected;
    painter->save();
    painter->setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    if (selected) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(option.palette.brush(group, QPalette::Highlight));
        painter->drawRoundedRect(QRectF(rect).adjusted(kHighlightInset, 0.5, -kHighlightInset, -0.5), 5, 5);
    }
    const QColor primary = option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor ground = option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
    const QColor secondary = blend(primary, ground, selected ? 0.2 : 0.4);
    const QColor tertiary = blend(primary, ground, selected ? 0.35 : 0.6);

    if (!row.scope) { // a note: one line in the secondary colour
        const int left = row.deviceID.isEmpty()
                             ? rect.left() + 2 * kMargin
                             : rect.left() + kMargin + row.indent() + kChevron + 2 * kGap + kIcon;
        painter->setFont(callout(option.font));
        painter->setPen(secondary);
        const QRect text(left, rect.top(), rect.right() - kMargin - left, rect.height());
        painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                          painter->fontMetrics().elidedText(row.title, Qt::ElideRight, text.width()));
        painter->restore();
        return;
    }
    if (row.claimed)
        painter->setOpacity(kClaimedOpacity);

    if (const QRect chevron = chevronRect(rect, row); !chevron.isEmpty())
        drawSymbol(painter, chevron,
                   row.open ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"), 10,
                   secondary);
    const QRect icon(rect.left() + kMargin + row.indent() + kChevron + kGap, rect.center().y() - kIcon / 2,
                     kIcon, kIcon);
    if (!row.icon.isNull())
        painter->drawImage(QRectF(icon), row.icon);
    else if (!row.symbol.isEmpty())
        drawSymbol(painter, icon, row.symbol, symbolSize(row),
                   row.kind == SidebarRow::Kind::device ? secondary : tertiary);

    // Trailing items: the markers, then the count.
    QRect count;
    const QList<Marker> marks = markers(option, row, &count);
    const QFont small = caption(option.font);
    painter->setFont(small);
    painter->setPen(secondary);
    painter->drawText(count, Qt::AlignVCenter | Qt::AlignRight, QString::number(row.count));
    static const QColor kOrange(0xf0, 0x8c, 0x00);
    for (const Marker& marker : marks)
        drawSymbol(painter, marker.rect, marker.symbol, marker.rect.height(),
                   marker.symbol == kSafari ? tertiary : kOrange);

    // Labels, centred as a block.
    const int left = icon.right() + 1 + kGap;
    const int right = (marks.isEmpty() ? count.left() : marks.first().rect.left()) - 6;
    const QFontMetrics titleMetrics(option.font), smallMetrics(small);
    int height = titleMetrics.height();
    height += row.subtitle.isEmpty() ? 0 : smallMetrics.height() + kSpacing;
    height += row.thirdLine.isEmpty() ? 0 : smallMetrics.height() + kSpacing;
    int y = rect.top() + (rect.height() - height) / 2;
    const auto line = [&](const QString& text, const QFont& font, const QColor& color) {
        const QFontMetrics metrics(font);
        painter->setFont(font);
        painter->setPen(color);
        painter->drawText(QRect(left, y, right - left, metrics.height()), Qt::AlignVCenter | Qt::AlignLeft,
                          metrics.elidedText(text, Qt::ElideRight, right - left));
        y += metrics.height() + kSpacing;
    };
    line(row.title, option.font, primary);
    if (!row.subtitle.isEmpty())
        line(row.subtitle, small, secondary);
    if (!row.thirdLine.isEmpty())
        line(row.thirdLine, small, tertiary);
    painter->restore();
}

bool SidebarDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (!m_model || !index.isValid() || event->type() != QEvent::ToolTip)
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const SidebarRow& row = m_model->row(index.row());
    QRect count;
    QList<Marker> areas = markers(option, row, &count);
    if (const QRect chevron = chevronRect(option.rect, row); !chevron.isEmpty())
        areas.append({chevron, {}, row.open ? SidebarRow::collapseHelp() : SidebarRow::expandHelp()});
    for (const Marker& area : areas) {
        if (area.rect.contains(event->pos())) {
            QToolTip::showText(event->globalPos(), area.help, view->viewport(), area.rect);
            return true;
        }
    }
    QToolTip::hideText();
    return true;
}
