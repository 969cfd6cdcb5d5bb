#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <memory>

// Booted simulators as the program finds real ones: a fake `xcrun` that lists them, and for each
// a process named launchd_sim, under a path naming its UDID, that serves a fake simulator on a
// real socket (found through the real ps and lsof). Processes end with the sandbox.
class SimulatorSandbox {
public:
    SimulatorSandbox();
    ~SimulatorSandbox();

    // Starts a simulator serving `scenario` (see fake_launchd_sim); returns its socket path, or
    // an empty string when it did not come up.
    QString addSimulator(const QString& udid, const QString& name, const QJsonObject& scenario);
    // Writes the fake xcrun listing every simulator added so far.
    bool writeXcrun();

    // An environment in which the program finds these simulators and no USB device.
    QProcessEnvironment environment() const;
    QString path(const QString& name) const { return m_dir.filePath(name); }

    // Whether this machine can run the sandbox (lsof present, helper built).
    static bool available();

private:
    QTemporaryDir m_dir;
    QJsonArray m_devices; // the booted ones xcrun lists
    std::vector<std::unique_ptr<QProcess>> m_processes;
};
