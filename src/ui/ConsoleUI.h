#pragma once

#include <QObject>

// Window state shared by every console window: opening the settings in one shows them in all.
// Main thread only.
class ConsoleUI : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool showsSettings READ showsSettings WRITE setShowsSettings NOTIFY showsSettingsChanged)

public:
    using QObject::QObject;

    // The process-wide instance, created on first use.
    static ConsoleUI& shared();

    bool showsSettings() const { return m_showsSettings; }
    void setShowsSettings(bool shows);

signals:
    void showsSettingsChanged(bool shows);

private:
    bool m_showsSettings = false;
};
