#pragma once

#include <QPointer>
#include <QWidget>

#include <optional>

class BadgeSettings;
class ConsoleHub;
class MCPServer;

// The settings: collecting on or off, the simulator badge and its position, the agent endpoint with
// its port and address, and snippets that connect an agent to it. Every control acts at once and
// shows the shared objects' live values, so several windows agree. Main thread.
class SettingsPane : public QWidget {
    Q_OBJECT

public:
    SettingsPane(ConsoleHub* hub, MCPServer* server, BadgeSettings* badge, QWidget* parent = nullptr);
    ~SettingsPane() override;

    // A port as typed: decimal digits with an optional leading "+", 0–65535; nothing otherwise.
    static std::optional<quint16> parsePort(const QString& text);

private:
    QPointer<ConsoleHub> m_hub;
    QPointer<MCPServer> m_server;
    QPointer<BadgeSettings> m_badge;
};
