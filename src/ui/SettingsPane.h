#pragma once

#include <QPointer>
#include <QWidget>

#include <optional>

class BadgeSettings;
class CommandBlock;
class ConsoleHub;
class MCPServer;
class QButtonGroup;
class QCheckBox;
class QFormLayout;
class QLabel;
class QLineEdit;

// The settings: collecting on or off, keeping messages across page loads, the simulator badge and its
// position, the agent endpoint with its port and address, and snippets that connect an agent to it. Every
// control acts at once and shows the shared objects' live values, so several windows agree. Main thread.
class SettingsPane : public QWidget {
    Q_OBJECT

public:
    SettingsPane(ConsoleHub* hub, MCPServer* server, BadgeSettings* badge, QWidget* parent = nullptr);
    ~SettingsPane() override;

    // A port as typed: decimal digits with an optional leading "+", 0–65535; nothing otherwise.
    static std::optional<quint16> parsePort(const QString& text);

protected:
    void changeEvent(QEvent* event) override;

private:
    QWidget* buildGeneral();
    QWidget* buildBadge();
    QWidget* buildServer();
    QWidget* buildAgents();
    // Each shows one shared object's live state.
    void showCapturing();
    void showKeepAcrossLoads();
    void showBadge();
    void showServer();
    void showPort();
    void commitPort();

    QPointer<ConsoleHub> m_hub;
    QPointer<MCPServer> m_server;
    QPointer<BadgeSettings> m_badge;

    QCheckBox* m_capturing = nullptr;
    QCheckBox* m_keepAcrossLoads = nullptr;
    QCheckBox* m_badgeEnabled = nullptr;
    QWidget* m_placementPicker = nullptr;
    QButtonGroup* m_placements = nullptr;
    QCheckBox* m_serverEnabled = nullptr;
    QLineEdit* m_port = nullptr;
    QLabel* m_address = nullptr;
    QFormLayout* m_serverForm = nullptr;
    QWidget* m_error = nullptr;
    QLabel* m_errorText = nullptr;
    CommandBlock* m_claudeCode = nullptr;
    CommandBlock* m_anyClient = nullptr;
};
