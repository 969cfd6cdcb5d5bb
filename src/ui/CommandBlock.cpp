#include "ui/CommandBlock.h"

#include "ui/Icons.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kCommandPixelSize = 11;
constexpr qreal kCornerRadius = 6;
constexpr int kPadding = 8;

} // namespace

CommandBlock::CommandBlock(const QString& title, QWidget* parent)
    : QWidget(parent), m_command(new QLabel(this)), m_copy(new QToolButton(this)) {
    auto* heading = new QLabel(title, this);
    heading->setAccessibleName(title);

    m_copy->setIcon(Icons::symbol(QStringLiteral("doc.on.doc")));
    m_copy->setAutoRaise(true);
    m_copy->setToolTip(tr("Copy"));
    m_copy->setAccessibleName(tr("Copy"));
    m_copy->setAccessibleDescription(tr("Copy") + u' ' + title);
    connect(m_copy, &QToolButton::clicked, this, &CommandBlock::copy);

    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(kCommandPixelSize);
    m_command->setFont(mono);
    m_command->setTextFormat(Qt::PlainText);
    m_command->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_command->setWordWrap(true);
    m_command->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    m_command->setAccessibleDescription(title);

    auto* header = new QHBoxLayout;
    header->addWidget(heading, 1);
    header->addWidget(m_copy);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addLayout(header);
    layout->addWidget(m_command);
}

QString CommandBlock::text() const {
    return m_command->text();
}

void CommandBlock::setText(const QString& text) {
    m_command->setText(text);
    m_command->setAccessibleName(text);
}

void CommandBlock::copy() const {
    QGuiApplication::clipboard()->setText(text());
}

void CommandBlock::paintEvent(QPaintEvent*) {
    // The command's field, drawn here so it follows the palette and keeps its rounded corners.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Mid), 0.5));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRoundedRect(QRectF(m_command->geometry()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius,
                            kCornerRadius);
}
