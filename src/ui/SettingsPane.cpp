#include "ui/SettingsPane.h"

#include "agent/MCPServer.h"
#include "base/Logging.h"
#include "base/Preferences.h"
#include "console/ConsoleHub.h"
#include "ui/BadgeSettings.h"
#include "ui/CommandBlock.h"
#include "ui/Icons.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QEvent>
#include <QFormLayout>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

constexpr int kMaxContentWidth = 560;
constexpr int kPortFieldWidth = 90;
constexpr int kLowestPort = 1025;
constexpr int kIconSize = 16;
constexpr qreal kDisabledOpacity = 0.45;
// Reads on light and dark backgrounds alike.
constexpr QRgb kErrorColour = 0xd9822b;

// Adjoining buttons with rounded outer ends; the chosen one in the selection colour.
constexpr auto kSegmentStyle = R"(
QToolButton { border: 1px solid palette(mid); background: palette(button); color: palette(button-text);
              padding: 3px 16px; }
QToolButton:checked { background: palette(highlight); color: palette(highlighted-text);
                      border-color: palette(highlight); }
QToolButton#middle, QToolButton#last { border-left: none; }
QToolButton#first { border-top-left-radius: 5px; border-bottom-left-radius: 5px; }
QToolButton#last { border-top-right-radius: 5px; border-bottom-right-radius: 5px; }
)";

// The icon's shape in one colour, so it reads on any background.
QPixmap tinted(const QIcon& icon, const QColor& colour) {
    QPixmap pixmap = icon.pixmap(kIconSize);
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), colour);
    return pixmap;
}

QLabel* label(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAccessibleName(text);
    return label;
}

void setLabelText(QLabel* label, const QString& text) {
    label->setText(text);
    label->setAccessibleName(text);
}

// Smaller text in the secondary colour, beneath the controls it explains.
QLabel* caption(const QString& text, QWidget* parent) {
    auto* caption = label(text, parent);
    caption->setWordWrap(true);
    caption->setForegroundRole(QPalette::PlaceholderText);
    QFont font = caption->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    caption->setFont(font);
    return caption;
}

// A section of the page: a bold heading (none for an empty title) over its form.
QWidget* section(const QString& title, QFormLayout* form) {
    auto* widget = new QWidget;
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    if (!title.isEmpty()) {
        QLabel* heading = label(title, widget);
        QFont font = heading->font();
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * 1.1);
        heading->setFont(font);
        layout->addWidget(heading);
    }
    form->setContentsMargins(0, 0, 0, 0);
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    form->setRowWrapPolicy(QFormLayout::DontWrapRows);
    layout->addLayout(form);
    return widget;
}

QCheckBox* toggle(const QString& text, QWidget* parent) {
    auto* box = new QCheckBox(text, parent);
    box->setAccessibleName(text);
    return box;
}

} // namespace

SettingsPane::SettingsPane(ConsoleHub* hub, MCPServer* server, BadgeSettings* badge, QWidget* parent)
    : QWidget(parent), m_hub(hub), m_server(server), m_badge(badge) {
    auto* content = new QWidget(this);
    content->setMaximumWidth(kMaxContentWidth);
    auto* sections = new QVBoxLayout(content);
    sections->setContentsMargins(0, 0, 0, 0);
    sections->setSpacing(28);
    sections->addWidget(buildGeneral());
    sections->addWidget(buildBadge());
    sections->addWidget(buildServer());
    sections->addWidget(buildAgents());

    // The content keeps a readable width, centred in a wider pane.
    auto* row = new QHBoxLayout;
    row->addStretch(0);
    row->addWidget(content, 1);
    row->addStretch(0);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(24, 24, 24, 24);
    page->addLayout(row);
    page->addStretch(1);

    connect(hub, &ConsoleHub::isCapturingChanged, this, &SettingsPane::showCapturing);
    connect(badge, &BadgeSettings::changed, this, &SettingsPane::showBadge);
    connect(server, &MCPServer::isRunningChanged, this, &SettingsPane::showServer);
    connect(server, &MCPServer::lastErrorChanged, this, &SettingsPane::showServer);
    connect(server, &MCPServer::portChanged, this, &SettingsPane::showPort);
    m_placementPicker->setStyleSheet(QString::fromLatin1(kSegmentStyle));
    showCapturing();
    showKeepAcrossLoads();
    showBadge();
    showServer();
    showPort();
}

SettingsPane::~SettingsPane() = default;

void SettingsPane::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A style sheet takes the palette's colours when it is set: set it again when they change.
    if (m_placementPicker &&
        (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)) {
        m_placementPicker->setStyleSheet({});
        m_placementPicker->setStyleSheet(QString::fromLatin1(kSegmentStyle));
    }
}

std::optional<quint16> SettingsPane::parsePort(const QString& text) {
    QStringView digits = text;
    if (digits.startsWith(u'+'))
        digits = digits.mid(1);
    if (digits.isEmpty())
        return std::nullopt;
    int value = 0;
    for (QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > 65535)
            return std::nullopt;
    }
    return quint16(value);
}

QWidget* SettingsPane::buildGeneral() {
    auto* form = new QFormLayout;
    QWidget* widget = section({}, form);
    m_capturing = toggle(tr("Collect console output"), widget);
    connect(m_capturing, &QCheckBox::toggled, this, [this](bool on) {
        if (m_hub)
            m_hub->setCapturing(on);
    });
    form->addRow(m_capturing);
    form->addRow(caption(
        tr("While off, webviews are handed back so Safari's Web Inspector can attach to them."), widget));

    m_keepAcrossLoads = toggle(tr("Keep messages when a page loads"), widget);
    connect(m_keepAcrossLoads, &QCheckBox::toggled, this, [](bool on) {
        Preferences::setKeepAcrossLoads(on);
        // The setting has no owner object to announce it: every pane shows it again.
        for (QWidget* widget : QApplication::allWidgets())
            if (auto* pane = qobject_cast<SettingsPane*>(widget))
                pane->showKeepAcrossLoads();
    });
    form->addRow(m_keepAcrossLoads);
    form->addRow(caption(tr("A page's earlier messages stay when it navigates or reloads, followed by a row "
                            "naming the new address."),
                         widget));
    return widget;
}

QWidget* SettingsPane::buildBadge() {
    auto* form = new QFormLayout;
    QWidget* widget = section(tr("Simulator Badge"), form);
    m_badgeEnabled = toggle(tr("Show a badge on Simulator windows"), widget);
    connect(m_badgeEnabled, &QCheckBox::toggled, this, [this](bool on) {
        if (m_badge)
            m_badge->setEnabled(on);
    });
    form->addRow(m_badgeEnabled);

    // A segmented control: three adjoining buttons, one of them down.
    m_placementPicker = new QWidget(widget);
    m_placementPicker->setAccessibleName(tr("Position"));
    auto* buttons = new QHBoxLayout(m_placementPicker);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(0);
    // Faded while off: the chosen position stays legible in any palette.
    auto* fade = new QGraphicsOpacityEffect(m_placementPicker);
    fade->setOpacity(kDisabledOpacity);
    m_placementPicker->setGraphicsEffect(fade);
    m_placements = new QButtonGroup(this);
    const QStringList titles = {tr("Left"), tr("Toolbar"), tr("Right")};
    for (int i = 0; i < titles.size(); ++i) {
        auto* button = new QToolButton(m_placementPicker);
        button->setText(titles[i]);
        button->setAccessibleName(titles[i]);
        button->setCheckable(true);
        button->setObjectName(i == 0 ? u"first"_s : i + 1 == titles.size() ? u"last"_s : u"middle"_s);
        m_placements->addButton(button, i);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    connect(m_placements, &QButtonGroup::idClicked, this, [this](int id) {
        if (m_badge)
            m_badge->setPlacement(BadgeSettings::placements().value(id));
    });
    form->addRow(label(tr("Position"), widget), m_placementPicker);
    form->addRow(caption(tr("Shows how many messages a device has logged since you last looked, and opens "
                            "its console when clicked."),
                         widget));
    return widget;
}

QWidget* SettingsPane::buildServer() {
    m_serverForm = new QFormLayout;
    QWidget* widget = section(tr("MCP Server"), m_serverForm);
    m_serverEnabled = toggle(tr("Let agents read the console"), widget);
    connect(m_serverEnabled, &QCheckBox::toggled, this, [this](bool on) {
        if (!m_server)
            return;
        m_server->setEnabled(on);
        showServer(); // a server that cannot start leaves the toggle off, without announcing anything
    });
    m_serverForm->addRow(m_serverEnabled);

    m_port = new QLineEdit(widget);
    m_port->setFixedWidth(kPortFieldWidth);
    m_port->setAccessibleName(tr("Port"));
    connect(m_port, &QLineEdit::returnPressed, this, &SettingsPane::commitPort);
    m_serverForm->addRow(label(tr("Port"), widget), m_port);

    m_address = label({}, widget);
    m_address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_serverForm->addRow(label(tr("Address"), widget), m_address);

    m_error = new QWidget(widget);
    auto* error = new QHBoxLayout(m_error);
    error->setContentsMargins(0, 0, 0, 0);
    auto* icon = new QLabel(m_error);
    icon->setPixmap(tinted(Icons::symbol(u"exclamationmark.triangle"_s), QColor(kErrorColour)));
    icon->setAlignment(Qt::AlignTop);
    m_errorText = label({}, m_error);
    m_errorText->setWordWrap(true);
    m_errorText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette orange = m_errorText->palette();
    orange.setColor(QPalette::WindowText, QColor(kErrorColour));
    m_errorText->setPalette(orange);
    error->addWidget(icon);
    error->addWidget(m_errorText, 1);
    m_serverForm->addRow(m_error);

    m_serverForm->addRow(
        caption(tr("Lets an agent list webviews, read the console and run JavaScript. It listens on the "
                   "loopback address only. Anything that can reach this port can run JavaScript on your "
                   "device."),
                widget));
    return widget;
}

QWidget* SettingsPane::buildAgents() {
    auto* form = new QFormLayout;
    QWidget* widget = section(tr("Connect an Agent"), form);
    m_claudeCode = new CommandBlock(tr("Claude Code"), widget);
    m_anyClient = new CommandBlock(tr("Any MCP client"), widget);
    form->addRow(m_claudeCode);
    form->addRow(m_anyClient);
    return widget;
}

void SettingsPane::showCapturing() {
    if (!m_hub)
        return;
    const QSignalBlocker blocker(m_capturing);
    m_capturing->setChecked(m_hub->isCapturing());
}

void SettingsPane::showKeepAcrossLoads() {
    const QSignalBlocker blocker(m_keepAcrossLoads);
    m_keepAcrossLoads->setChecked(Preferences::keepAcrossLoads());
}

void SettingsPane::showBadge() {
    if (!m_badge)
        return;
    const QSignalBlocker blocker(m_badgeEnabled);
    m_badgeEnabled->setChecked(m_badge->isEnabled());
    m_placementPicker->setEnabled(m_badge->isEnabled());
    m_placementPicker->graphicsEffect()->setEnabled(!m_badge->isEnabled());
    if (QAbstractButton* button =
            m_placements->button(BadgeSettings::placements().indexOf(m_badge->placement())))
        button->setChecked(true);
}

void SettingsPane::showServer() {
    if (!m_server)
        return;
    {
        const QSignalBlocker blocker(m_serverEnabled);
        m_serverEnabled->setChecked(m_server->isRunning());
    }
    setLabelText(m_address, m_server->isRunning() ? m_server->endpoint() : tr("not running"));
    const std::optional<QString> error = m_server->lastError();
    setLabelText(m_errorText, error.value_or(QString()));
    m_serverForm->setRowVisible(m_error, error.has_value());
}

void SettingsPane::showPort() {
    if (!m_server)
        return;
    // The field keeps the text as typed ("+1025") while it names the port in use.
    if (parsePort(m_port->text()) != m_server->port())
        m_port->setText(QString::number(m_server->port()));
    const QString endpoint = m_server->endpoint();
    m_claudeCode->setText(QStringLiteral("claude mcp add --transport http tavolin ") + endpoint);
    m_anyClient->setText(
        QStringLiteral("\"tavolin\": {\n  \"type\": \"http\",\n  \"url\": \"%1\"\n}").arg(endpoint));
    showServer();
}

void SettingsPane::commitPort() {
    if (!m_server)
        return;
    const std::optional<quint16> port = parsePort(m_port->text());
    if (port && *port >= kLowestPort) {
        m_server->setPort(*port);
        return;
    }
    qCWarning(lcUi) << "refused the port" << m_port->text();
    m_port->setText(QString::number(m_server->port()));
}
