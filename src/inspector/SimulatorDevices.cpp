#include "inspector/SimulatorDevices.h"

#include "base/Logging.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QStandardPaths>

namespace SimulatorDevices {

namespace {

const QString kSocketSuffix = QStringLiteral("com.apple.webinspectord_sim.socket");

QMutex toolsLock;
Tools currentTools;

QString resolve(const QString& path) {
    if (QFileInfo(path).isExecutable())
        return path;
    const QString found = QStandardPaths::findExecutable(QFileInfo(path).fileName());
    return found.isEmpty() ? path : found;
}

QStringList nonEmptyLines(const QString& text) {
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString trimSpacesAndTabs(const QString& line) {
    qsizetype start = 0, end = line.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (start < end && blank(line[start]))
        ++start;
    while (end > start && blank(line[end - 1]))
        --end;
    return line.mid(start, end - start);
}

// Linux's lsof describes a unix socket's name as "<path> type=STREAM ..."; macOS prints the path alone.
QString socketName(const QString& value) {
    static const QString marker = QStringLiteral(" type=");
    const qsizetype at = value.indexOf(marker);
    return at >= 0 ? value.left(at) : value;
}

} // namespace

Tools defaultTools() {
    QMutexLocker lock(&toolsLock);
    return currentTools;
}

void setDefaultTools(const Tools& tools) {
    QMutexLocker lock(&toolsLock);
    currentTools = tools;
}

std::optional<ToolRunner::Output> run(const QString& path, const QStringList& arguments) {
    return ToolRunner::run(resolve(path), arguments);
}

QHash<QString, QString> simulatorProcesses(const QString& psOutput) {
    static const QString devices = QStringLiteral("/Devices/");
    QHash<QString, QString> udidsByPid;
    for (const QString& raw : nonEmptyLines(psOutput)) {
        const QString line = trimSpacesAndTabs(raw);
        if (!line.contains(QLatin1String("launchd_sim")))
            continue;
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        if (space < 0)
            continue;
        const qsizetype at = line.indexOf(devices);
        if (at < 0)
            continue;
        const QString udid = line.mid(at + devices.size(), 36);
        if (udid.size() != 36)
            continue;
        udidsByPid.insert(line.left(space), udid);
    }
    return udidsByPid;
}

QHash<QString, QString> socketsFromLsof(const QString& lsofOutput,
                                        const QHash<QString, QString>& udidsByPid) {
    QHash<QString, QString> sockets;
    std::optional<QString> current;
    for (const QString& line : nonEmptyLines(lsofOutput)) {
        const QChar tag = line.front();
        const QString value = line.mid(1);
        if (tag == QLatin1Char('p')) {
            const auto found = udidsByPid.constFind(value);
            current = found == udidsByPid.cend() ? std::nullopt : std::optional<QString>(*found);
        } else if (tag == QLatin1Char('n') && current) {
            const QString path = socketName(value);
            if (path.endsWith(kSocketSuffix))
                sockets.insert(*current, path);
        }
    }
    return sockets;
}

QHash<QString, QString> inspectorSockets(const Tools& tools) {
    // Their exit status is not judged: lsof reports a process without matches as a failure.
    const std::optional<ToolRunner::Output> ps =
        run(tools.ps, {QStringLiteral("-axo"), QStringLiteral("pid=,command=")});
    if (!ps)
        return {};
    const QHash<QString, QString> udidsByPid = simulatorProcesses(ps->text);
    if (udidsByPid.isEmpty())
        return {};
    QStringList pids = udidsByPid.keys();
    pids.sort();
    const std::optional<ToolRunner::Output> lsof =
        run(tools.lsof, {QStringLiteral("-U"), QStringLiteral("-a"), QStringLiteral("-p"),
                         pids.join(QLatin1Char(',')), QStringLiteral("-F"), QStringLiteral("pn")});
    if (!lsof)
        return {};
    return socketsFromLsof(lsof->text, udidsByPid);
}

QList<InspectableDevice> devicesFromSimctl(const QByteArray& json, const QHash<QString, QString>& sockets) {
    QList<InspectableDevice> result;
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return result;
    const QJsonObject top = document.object();

    QHash<QString, QString> runtimeNames;
    for (const QJsonValue& value : top.value(QLatin1String("runtimes")).toArray()) {
        const QJsonObject runtime = value.toObject();
        const QJsonValue identifier = runtime.value(QLatin1String("identifier"));
        if (!identifier.isString())
            continue;
        const QJsonValue name = runtime.value(QLatin1String("name"));
        runtimeNames.insert(identifier.toString(), name.isString() ? name.toString() : identifier.toString());
    }

    const QJsonObject devices = top.value(QLatin1String("devices")).toObject();
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        const QString runtime = runtimeNames.value(it.key(), it.key());
        for (const QJsonValue& value : it.value().toArray()) {
            const QJsonObject device = value.toObject();
            const QJsonValue state = device.value(QLatin1String("state"));
            const QJsonValue udid = device.value(QLatin1String("udid"));
            const QJsonValue name = device.value(QLatin1String("name"));
            if (state.toString() != QLatin1String("Booted") || !udid.isString() || !name.isString())
                continue;
            InspectableDevice record;
            record.udid = udid.toString();
            record.name = name.toString();
            record.runtime = runtime;
            record.kind = InspectableDevice::Kind::simulator;
            const auto socket = sockets.constFind(record.udid);
            if (socket != sockets.cend())
                record.socketPath = *socket;
            result.append(std::move(record));
        }
    }
    sortByName(result);
    return result;
}

std::optional<QList<InspectableDevice>> booted(const Tools& tools) {
    const std::optional<ToolRunner::Output> listing =
        run(tools.xcrun, {QStringLiteral("simctl"), QStringLiteral("list"), QStringLiteral("-j")});
    if (!listing)
        return std::nullopt;
    if (listing->exitStatus != 0) {
        qCWarning(lcDiscovery) << "simctl list failed with status" << listing->exitStatus;
        return std::nullopt;
    }
    const QByteArray json = listing->text.toUtf8();
    if (!QJsonDocument::fromJson(json).isObject()) {
        qCWarning(lcDiscovery) << "simctl listed no JSON object";
        return std::nullopt;
    }
    return devicesFromSimctl(json, inspectorSockets(tools));
}

} // namespace SimulatorDevices
