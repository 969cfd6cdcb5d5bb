#pragma once

#include "base/ToolRunner.h"
#include "inspector/InspectableDevice.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Finds booted simulators through the simulator tools, and their inspector sockets through the
// process table. Stateless; every call runs the tools afresh and may block for a while.
namespace SimulatorDevices {

// Where the external tools live. Defaults are the macOS locations; a default that does not exist
// on this machine is looked up on PATH instead. Tests put scripts in their place.
struct Tools {
    QString xcrun = QStringLiteral("/usr/bin/xcrun");
    QString ps = QStringLiteral("/bin/ps");
    QString lsof = QStringLiteral("/usr/sbin/lsof");
};

// The tools used when none are given; settable for tests and for odd installations.
Tools defaultTools();
void setDefaultTools(const Tools& tools);

// The booted simulators; nothing when the listing could not be read (the tool failed or timed
// out), which is not the same as none booted.
std::optional<QList<InspectableDevice>> booted(const Tools& tools = defaultTools());
QHash<QString, QString> inspectorSockets(const Tools& tools = defaultTools());
std::optional<ToolRunner::Output> run(const QString& path, const QStringList& arguments);

// Parsing steps, exposed for tests.
QHash<QString, QString> simulatorProcesses(const QString& psOutput);
QHash<QString, QString> socketsFromLsof(const QString& lsofOutput, const QHash<QString, QString>& udidsByPid);
QList<InspectableDevice> devicesFromSimctl(const QByteArray& json, const QHash<QString, QString>& sockets);

} // namespace SimulatorDevices
