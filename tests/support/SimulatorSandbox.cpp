#include "support/SimulatorSandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>

SimulatorSandbox::SimulatorSandbox() : m_dir(QStringLiteral("/tmp/tvsim-XXXXXX")) {}

SimulatorSandbox::~SimulatorSandbox() {
    for (auto& process : m_processes) {
        process->kill();
        process->waitForFinished();
    }
}

bool SimulatorSandbox::available() {
    return !qEnvironmentVariable("FAKE_LAUNCHD_SIM").isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("lsof"), {"/usr/bin", "/usr/sbin", "/bin"})
                .isEmpty();
}

QString SimulatorSandbox::addSimulator(const QString& udid, const QString& name,
                                       const QJsonObject& scenario) {
    const QString deviceDir = m_dir.filePath(QStringLiteral("Devices/") + udid + QStringLiteral("/data"));
    QDir().mkpath(deviceDir);
    const QString launcher = deviceDir + QStringLiteral("/launchd_sim");
    if (!QFile::link(qEnvironmentVariable("FAKE_LAUNCHD_SIM"), launcher))
        return {};
    // Socket paths must stay short: one folder per simulator, numbered.
    const QString socketDir = m_dir.filePath(QString::number(m_processes.size()));
    QDir().mkpath(socketDir);
    const QString socket = socketDir + QStringLiteral("/com.apple.webinspectord_sim.socket");
    // The scenario travels in the environment, out of sight of the program's process listing.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FAKE_SIM_SCENARIO"), QJsonDocument(scenario).toJson());
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->start(launcher, {socket});
    const bool up = process->waitForReadyRead(5000);
    m_processes.push_back(std::move(process));
    if (!up)
        return {};
    m_devices.append(QJsonObject{{"state", "Booted"}, {"udid", udid}, {"name", name}});
    return socket;
}

bool SimulatorSandbox::writeXcrun() {
    const QJsonObject listing{
        {"runtimes", QJsonArray{QJsonObject{{"identifier", "com.apple.CoreSimulator.SimRuntime.iOS-17-5"},
                                            {"name", "iOS 17.5"}}}},
        {"devices", QJsonObject{{"com.apple.CoreSimulator.SimRuntime.iOS-17-5", m_devices}}}};
    const QString bin = m_dir.filePath(QStringLiteral("bin"));
    QDir().mkpath(bin);
    QFile xcrun(bin + QStringLiteral("/xcrun"));
    if (!xcrun.open(QIODevice::WriteOnly))
        return false;
    xcrun.write("#!/bin/sh\ncat <<'END'\n" + QJsonDocument(listing).toJson() + "END\n");
    xcrun.close();
    return xcrun.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QProcessEnvironment SimulatorSandbox::environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), m_dir.filePath(QStringLiteral("bin")) +
                                                   QStringLiteral(":/usr/bin:/bin:/usr/sbin:/sbin"));
    environment.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"),
                       QStringLiteral("UNIX:") + m_dir.filePath(QStringLiteral("no-usbmuxd")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    environment.remove(QStringLiteral("DISPLAY"));
    return environment;
}
