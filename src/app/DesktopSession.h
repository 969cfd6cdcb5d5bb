#pragma once

#include <QObject>
#include <QTimer>

#include <memory>

class ConsoleActions;
class ConsoleHub;
class ConsoleWindow;
class CountBroadcast;
class MCPDispatcher;

// `tavolin` on a desktop: the hub, the agent endpoint (when the user turned it on), the count
// broadcast refreshed every 0.4 s, and a console window for the first device the hub finds. Needs a
// QApplication. Quitting ends it; closing the last window quits.
class DesktopSession : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kRefreshInterval{400};

    explicit DesktopSession(QObject* parent = nullptr);
    ~DesktopSession() override;

    // Starts the hub and opens the window.
    void start();

    ConsoleHub& hub() { return *m_hub; }
    ConsoleWindow* window() const { return m_window.get(); }

private:
    std::unique_ptr<ConsoleHub> m_hub;
    std::unique_ptr<ConsoleActions> m_actions;
    std::unique_ptr<MCPDispatcher> m_dispatcher;
    std::unique_ptr<CountBroadcast> m_broadcast;
    std::unique_ptr<ConsoleWindow> m_window;
    QTimer m_refresh;
};
