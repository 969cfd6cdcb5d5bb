#include "app/DesktopSession.h"

#include "agent/MCPDispatcher.h"
#include "agent/MCPServer.h"
#include "broadcast/CountBroadcast.h"
#include "console/ConsoleHub.h"
#include "ui/ConsoleActions.h"
#include "ui/ConsoleWindow.h"
#include "ui/Icons.h"

#include <QGuiApplication>
#include <QPalette>

DesktopSession::DesktopSession(QObject* parent)
    : QObject(parent), m_hub(std::make_unique<ConsoleHub>()),
      m_actions(std::make_unique<ConsoleActions>(m_hub.get())),
      m_dispatcher(std::make_unique<MCPDispatcher>(m_hub.get())),
      m_broadcast(std::make_unique<CountBroadcast>()) {
    Icons::install();
    // The transcript follows a dark desktop; the engine only learns of it through its flags, read
    // when the first page is made.
    const QPalette palette = QGuiApplication::palette();
    if (palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness()) {
        QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
        if (!flags.contains("--force-dark-mode"))
            qputenv("QTWEBENGINE_CHROMIUM_FLAGS", (flags + " --force-dark-mode").trimmed());
    }
    MCPServer::shared().configure(
        [dispatcher = m_dispatcher.get()](const QJsonObject& message, MCPServer::Reply reply) {
            dispatcher->handle(message, std::move(reply));
        });
    m_broadcast->listen(m_hub.get());
    connect(&m_refresh, &QTimer::timeout, this, [this] { m_broadcast->publish(*m_hub); });
}

DesktopSession::~DesktopSession() {
    // The endpoint outlives us; it must not call into a dispatcher that is gone.
    MCPServer::shared().stop();
    MCPServer::shared().setMessageHandler({});
    m_window.reset();
}

void DesktopSession::start() {
    m_window = std::make_unique<ConsoleWindow>(m_hub.get(), m_actions.get(), &MCPServer::shared(), QString());
    m_window->show();
    m_refresh.start(kRefreshInterval);
    m_hub->start();
}
