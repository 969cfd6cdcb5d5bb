#include "ui/ConsoleWindow.h"

#include "base/Logging.h"
#include "console/ConsoleHub.h"
#include "ui/BadgeSettings.h"
#include "ui/ConsoleActions.h"
#include "ui/ConsoleUI.h"
#include "ui/Icons.h"
#include "ui/SettingsPane.h"
#include "ui/SidebarView.h"
#include "ui/TranscriptBridge.h"

#include <QAction>
#include <QEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>

namespace {

constexpr QSize kDefaultSize{1100, 700};
constexpr int kFilterWidth = 240;

QAction* toolAction(QToolBar* toolbar, const QString& text, const QString& symbol, const QString& help,
                    bool checkable) {
    // Buttons read "&" as the mark of a shortcut letter; "&&" shows it as itself.
    auto* action =
        toolbar->addAction(Icons::symbol(symbol), QString(text).replace(u'&', QStringLiteral("&&")));
    action->setToolTip(help);
    action->setCheckable(checkable);
    if (auto* button = qobject_cast<QToolButton*>(toolbar->widgetForAction(action)))
        button->setAccessibleName(text);
    return action;
}

} // namespace

ConsoleWindow::ConsoleWindow(ConsoleHub* hub, ConsoleActions* actions, MCPServer* server,
                             const QString& deviceID, QWidget* parent)
    : QMainWindow(parent), m_hub(hub), m_actions(actions), m_scope(ConsoleScope::device(deviceID)),
      m_wantsFirstDevice(deviceID.isEmpty()) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    resize(kDefaultSize);

    m_sidebar = new SidebarView(hub, actions);
    m_sidebar->setMinimumWidth(kSidebarMinimumWidth);
    m_sidebar->setAccessibleName(QStringLiteral("Devices, applications and webviews"));
    m_transcript = new TranscriptBridge(hub, actions);
    m_transcript->setAccessibleName(QStringLiteral("Console"));
    m_settings = new SettingsPane(hub, server, &BadgeSettings::shared());
    auto* settingsScroll = new QScrollArea;
    settingsScroll->setWidget(m_settings);
    settingsScroll->setWidgetResizable(true);
    settingsScroll->setFrameShape(QFrame::NoFrame);
    settingsScroll->setAccessibleName(QStringLiteral("Settings"));

    m_detail = new QStackedWidget;
    m_detail->addWidget(m_transcript);
    m_detail->addWidget(settingsScroll);

    auto* splitter = new QSplitter(Qt::Horizontal);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(m_sidebar);
    splitter->addWidget(m_detail);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({kSidebarWidth, kDefaultSize.width() - kSidebarWidth});
    splitter->handle(1)->setAccessibleName(QStringLiteral("Resize the sidebar"));
    setCentralWidget(splitter);

    buildToolbar();

    connect(m_sidebar, &SidebarView::scopeChanged, this, &ConsoleWindow::setScope);
    for (auto signal : {&ConsoleHub::devicesChanged, &ConsoleHub::revisionChanged, &ConsoleHub::appsChanged,
                        &ConsoleHub::pagesChanged})
        connect(hub, signal, this, &ConsoleWindow::scheduleRefresh);
    connect(&ConsoleUI::shared(), &ConsoleUI::showsSettingsChanged, this, &ConsoleWindow::showSettings);
    showSettings(ConsoleUI::shared().showsSettings());

    m_sidebar->setScope(m_scope);
    refresh();
}

ConsoleWindow::~ConsoleWindow() {
    setReading(false);
}

void ConsoleWindow::buildToolbar() {
    auto* toolbar = addToolBar(QStringLiteral("Console"));
    toolbar->setObjectName(QStringLiteral("consoleToolbar"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolbar->toggleViewAction()->setEnabled(false);
    // Shown when the window is too narrow for every tool.
    if (auto* more = toolbar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button")))
        more->setAccessibleName(QStringLiteral("More tools"));
    setContextMenuPolicy(Qt::NoContextMenu);

    m_settingsAction = toolAction(toolbar, QStringLiteral("Settings"), QStringLiteral("gearshape"),
                                  QStringLiteral("Settings"), true);
    connect(m_settingsAction, &QAction::toggled, &ConsoleUI::shared(), &ConsoleUI::setShowsSettings);

    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_transcriptActions << toolbar->addWidget(spacer);

    m_filter = new QLineEdit;
    m_filter->setPlaceholderText(QStringLiteral("Filter"));
    m_filter->setAccessibleName(QStringLiteral("Filter"));
    m_filter->setClearButtonEnabled(true);
    for (auto* button : m_filter->findChildren<QToolButton*>())
        button->setAccessibleName(QStringLiteral("Clear the filter"));
    m_filter->setFixedWidth(kFilterWidth);
    m_transcriptActions << toolbar->addWidget(m_filter);
    connect(m_filter, &QLineEdit::textChanged, this, &ConsoleWindow::scheduleRefresh);
    auto* find = new QAction(this);
    find->setShortcut(QKeySequence::Find);
    connect(find, &QAction::triggered, m_filter, [this] {
        m_filter->setFocus(Qt::ShortcutFocusReason);
        m_filter->selectAll();
    });
    addAction(find);

    m_problemsAction =
        toolAction(toolbar, QStringLiteral("Errors & warnings"), QStringLiteral("exclamationmark.triangle"),
                   QStringLiteral("Show only errors and warnings"), true);
    m_followAction = toolAction(toolbar, QStringLiteral("Follow"), QStringLiteral("arrow.down.to.line"),
                                QStringLiteral("Scroll to the newest message"), true);
    m_followAction->setChecked(true);
    m_clearAction = toolAction(toolbar, QStringLiteral("Clear"), QStringLiteral("trash"),
                               QStringLiteral("Clear collected messages"), false);
    m_transcriptActions << m_problemsAction << m_followAction << m_clearAction;
    connect(m_problemsAction, &QAction::toggled, this, &ConsoleWindow::scheduleRefresh);
    connect(m_followAction, &QAction::toggled, this, &ConsoleWindow::scheduleRefresh);
    connect(m_clearAction, &QAction::triggered, this, [this] {
        // The whole device, whichever of its applications or pages is selected.
        if (m_hub)
            m_hub->clear(m_scope.deviceID());
    });

    auto* close = new QAction(this);
    close->setShortcut(QKeySequence::Close);
    connect(close, &QAction::triggered, this, &QWidget::close);
    addAction(close);
}

void ConsoleWindow::showSettings(bool shows) {
    m_settingsAction->setChecked(shows);
    m_detail->setCurrentIndex(shows ? 1 : 0);
    for (QAction* action : std::as_const(m_transcriptActions))
        action->setVisible(!shows);
}

void ConsoleWindow::setScope(const ConsoleScope& scope) {
    if (scope == m_scope)
        return;
    const bool otherDevice = scope.deviceID() != m_scope.deviceID();
    if (otherDevice)
        setReading(false);
    m_scope = scope;
    m_wantsFirstDevice = false;
    if (m_sidebar->scope() != scope)
        m_sidebar->setScope(scope);
    if (m_hub)
        m_hub->markSeen(scope.deviceID());
    if (otherDevice && isActiveWindow())
        setReading(true);
    refresh();
}

void ConsoleWindow::scheduleRefresh() {
    if (m_refreshQueued)
        return;
    m_refreshQueued = true;
    QMetaObject::invokeMethod(this, &ConsoleWindow::refresh, Qt::QueuedConnection);
}

void ConsoleWindow::refresh() {
    m_refreshQueued = false;
    if (!m_hub)
        return;
    adoptFirstDevice();
    m_transcript->update(TranscriptState{m_scope, m_problemsAction->isChecked(), m_filter->text(),
                                         m_followAction->isChecked()});
    const QString title = WindowHeading::of(*m_hub, m_scope).windowTitle();
    if (title != windowTitle())
        setWindowTitle(title);
}

void ConsoleWindow::adoptFirstDevice() {
    // A window opened before any device was known takes the first one that appears.
    if (!m_wantsFirstDevice)
        return;
    const QList<InspectableDevice> devices = m_hub->devices();
    if (devices.isEmpty())
        return;
    m_wantsFirstDevice = false;
    setScope(ConsoleScope::device(devices.first().udid));
}

void ConsoleWindow::setReading(bool active) {
    if (!m_hub || active == m_reading)
        return;
    m_reading = active;
    if (active) {
        m_hub->setReading(m_scope.deviceID());
        m_hub->markSeen(m_scope.deviceID());
    } else if (m_hub->store().reading() == m_scope.deviceID()) {
        m_hub->setReading(std::nullopt);
    }
}

void ConsoleWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_hub)
        m_hub->markSeen(m_scope.deviceID());
}

void ConsoleWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange)
        setReading(isActiveWindow());
}
