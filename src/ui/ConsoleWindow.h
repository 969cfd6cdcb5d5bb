#pragma once

#include "console/ConsoleScope.h"
#include "ui/WindowHeading.h"

#include <QMainWindow>
#include <QPointer>

class ConsoleActions;
class ConsoleHub;
class MCPServer;
class QAction;
class QLineEdit;
class QStackedWidget;
class SettingsPane;
class SidebarView;
class TranscriptBridge;

// A console window: the sidebar of devices, applications and pages beside the transcript of the
// selected one (or the settings), under a toolbar with the settings switch, the filter, "Errors &
// warnings", "Follow" and "Clear".
//
// Opened for a device; an empty device id opens it for the first device the hub finds. The title
// follows the selection as "Title — Subtitle". While the window is active its device counts as
// read, so its messages do not pile up as unseen. Main thread.
class ConsoleWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kSidebarMinimumWidth = 250;
    static constexpr int kSidebarWidth = 310;

    ConsoleWindow(ConsoleHub* hub, ConsoleActions* actions, MCPServer* server, const QString& deviceID,
                  QWidget* parent = nullptr);
    ~ConsoleWindow() override;

    ConsoleScope scope() const { return m_scope; }
    void setScope(const ConsoleScope& scope);

    SidebarView* sidebar() const { return m_sidebar; }
    TranscriptBridge* transcript() const { return m_transcript; }
    QLineEdit* filterField() const { return m_filter; }

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildToolbar();
    void showSettings(bool shows);
    // Brings the transcript and the title up to date, once per turn of the event loop.
    void scheduleRefresh();
    void refresh();
    void adoptFirstDevice();
    void setReading(bool active);

    QPointer<ConsoleHub> m_hub;
    QPointer<ConsoleActions> m_actions;
    ConsoleScope m_scope;
    bool m_wantsFirstDevice = false;
    bool m_refreshQueued = false;
    bool m_reading = false;

    SidebarView* m_sidebar = nullptr;
    QStackedWidget* m_detail = nullptr;
    TranscriptBridge* m_transcript = nullptr;
    SettingsPane* m_settings = nullptr;
    QLineEdit* m_filter = nullptr;
    QAction* m_settingsAction = nullptr;
    QAction* m_problemsAction = nullptr;
    QAction* m_followAction = nullptr;
    QAction* m_clearAction = nullptr;
    QList<QAction*> m_transcriptActions; // shown only with the transcript
};
