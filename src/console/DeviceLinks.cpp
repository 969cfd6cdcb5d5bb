#include "console/DeviceLinks.h"

#include "base/Logging.h"
#include "inspector/WebInspectorConnection.h"

#include <QTimer>

DeviceLinks::DeviceLinks(DeviceDiscovery discovery, QObject* parent)
    : QObject(parent), m_discovery(std::move(discovery)) {
    // Emitted on the scan thread, received on the main thread; the result itself waits under a lock.
    connect(this, &DeviceLinks::scanCompleted, this, &DeviceLinks::takeScanResult, Qt::QueuedConnection);
    connect(this, &DeviceLinks::linkClosed, this, &DeviceLinks::takeClosedLinks, Qt::QueuedConnection);
    m_closed->owner = this;
}

DeviceLinks::~DeviceLinks() {
    {
        std::lock_guard guard(m_closed->lock);
        m_closed->owner = nullptr;
    }
    if (m_scanThread.joinable())
        m_scanThread.join();
    if (m_scanResult)
        qCWarning(lcConsole) << "a scan result is lost: the device list is closing";
    m_connections.clear();
}

WebInspectorConnection* DeviceLinks::connection(const QString& deviceID) const {
    const auto it = m_connections.find(deviceID);
    return it == m_connections.end() ? nullptr : it->second.get();
}

QStringList DeviceLinks::connectedDevices() const {
    QStringList ids;
    for (const auto& [id, connection] : m_connections)
        ids.append(id);
    ids.sort();
    return ids;
}

void DeviceLinks::setCapturing(bool on) {
    if (m_capturing == on)
        return;
    m_capturing = on;
    for (const auto& [id, connection] : m_connections)
        connection->setCapturing(on);
    emit isCapturingChanged();
}

// ---- Scanning ------------------------------------------------------------------------------

void DeviceLinks::start() {
    rescanDevices();
    if (!m_scanTimer) {
        m_scanTimer = new QTimer(this);
        m_scanTimer->setInterval(m_scanInterval);
        connect(m_scanTimer, &QTimer::timeout, this, &DeviceLinks::rescanDevices);
        m_scanTimer->start();
    }
}

void DeviceLinks::rescanDevices() {
    if (m_scanning)
        return;
    m_scanning = true;
    if (m_scanThread.joinable())
        m_scanThread.join();
    QSet<QString> connected;
    for (const auto& [id, connection] : m_connections)
        connected.insert(id);
    // The destructor waits for a scan still running.
    m_scanThread = std::thread([this, connected, simulators = m_lastSimulators, devices = m_lastDevices] {
        // The result waits under our own lock; the signal only says it is there.
        ScanResult result = scan(connected, simulators, devices);
        {
            std::lock_guard lock(m_scanLock);
            m_scanResult = std::move(result);
        }
        emit scanCompleted();
    });
}

DeviceLinks::ScanResult DeviceLinks::scan(const QSet<QString>& connected,
                                          const QList<InspectableDevice>& lastSimulators,
                                          const QList<InspectableDevice>& lastDevices) const {
    ScanResult result;
    result.simulators =
        m_discovery.simulators ? m_discovery.simulators(lastSimulators) : QList<InspectableDevice>{};
    result.devices = m_discovery.devices ? m_discovery.devices(lastDevices) : QList<InspectableDevice>{};
    const QList<InspectableDevice> found = result.simulators.value_or(QList<InspectableDevice>{}) +
                                           result.devices.value_or(QList<InspectableDevice>{});
    for (const InspectableDevice& device : found) {
        if (connected.contains(device.udid) || result.opened.contains(device.udid) ||
            result.failed.contains(device.udid) || !m_discovery.transport)
            continue;
        std::shared_ptr<WIRTransport> transport = m_discovery.transport(device);
        if (!transport)
            continue;
        if (std::optional<WIRError> error = transport->open())
            result.failed.insert(device.udid, *error);
        else
            result.opened.insert(device.udid, std::move(transport));
    }
    return result;
}

void DeviceLinks::takeScanResult() {
    std::optional<ScanResult> finished;
    {
        std::lock_guard lock(m_scanLock);
        finished.swap(m_scanResult);
    }
    if (finished)
        applyScan(std::move(*finished));
    else
        qCWarning(lcConsole) << "a scan finished without a result";
}

void DeviceLinks::applyScan(ScanResult result) {
    m_scanning = false;
    // A source that could not tell keeps its devices as they are, connected or not, for this scan.
    QSet<QString> kept;
    const auto take = [&kept](std::optional<QList<InspectableDevice>>& found,
                              QList<InspectableDevice>& last) {
        if (found) {
            last = std::move(*found);
            return;
        }
        if (!last.isEmpty())
            qCWarning(lcConsole) << "keeping" << last.size() << "devices: their source could not tell";
        for (const InspectableDevice& device : std::as_const(last))
            kept.insert(device.udid);
    };
    take(result.simulators, m_lastSimulators);
    take(result.devices, m_lastDevices);
    qCDebug(lcConsole) << "scan found" << m_lastSimulators.size() + m_lastDevices.size() << "devices";
    if (const QList<InspectableDevice> devices = m_lastSimulators + m_lastDevices; m_devices != devices) {
        m_devices = devices;
        emit devicesChanged();
    }
    QSet<QString> listed;
    for (const InspectableDevice& device : std::as_const(m_devices))
        listed.insert(device.udid);
    for (const QString& id : connectedDevices())
        if (!listed.contains(id))
            removeConnection(id, true);
    for (const InspectableDevice& device : std::as_const(m_devices)) {
        if (m_connections.contains(device.udid) || kept.contains(device.udid))
            continue;
        if (const auto error = result.failed.constFind(device.udid); error != result.failed.cend()) {
            connectDevice(device, nullptr, *error);
            continue;
        }
        std::shared_ptr<WIRTransport> transport = result.opened.take(device.udid);
        if (!transport && m_discovery.transport)
            transport = m_discovery.transport(device); // a connection closed while the scan ran
        if (transport)
            connectDevice(device, std::move(transport), std::nullopt);
    }
    // Transports opened for devices that got connected meanwhile are not needed.
    for (const auto& transport : std::as_const(result.opened))
        transport->close();
    emit scanFinished();
}

// ---- Connections ---------------------------------------------------------------------------

void DeviceLinks::connectDevice(const InspectableDevice& device, std::shared_ptr<WIRTransport> transport,
                                std::optional<WIRError> openError) {
    const QString id = device.udid;
    if (openError) {
        setTrouble(id, openError->userText());
        return;
    }
    auto connection = std::make_unique<WebInspectorConnection>(id, std::move(transport));
    if (prepare)
        prepare(*connection);
    const WebInspectorConnection* raw = connection.get();
    connection->onClose = [closed = m_closed, raw, id] {
        // On the connection's queue: the rest happens on the main thread, handed over under our own
        // lock, if the list still lives.
        std::lock_guard guard(closed->lock);
        if (!closed->owner)
            return;
        closed->links.emplace_back(id, raw);
        emit closed->owner->linkClosed();
    };
    if (std::optional<WIRError> error = connection->start()) {
        setTrouble(id, error->userText());
        return;
    }
    connection->setCapturing(m_capturing);
    m_connections.emplace(id, std::move(connection));
    emit connectionsChanged();
    setTrouble(id, std::nullopt);
}

void DeviceLinks::takeClosedLinks() {
    std::vector<std::pair<QString, const WebInspectorConnection*>> closed;
    {
        std::lock_guard guard(m_closed->lock);
        closed.swap(m_closed->links);
    }
    // Only a device's current connection counts: an older one may end after its replacement began.
    for (const auto& [id, raw] : closed)
        if (connection(id) == raw)
            removeConnection(id, false);
}

void DeviceLinks::removeConnection(const QString& deviceID, bool stop) {
    auto it = m_connections.find(deviceID);
    if (it == m_connections.end())
        return;
    qCWarning(lcConsole) << "dropping" << deviceID << (stop ? "(no longer listed)" : "(connection ended)");
    std::unique_ptr<WebInspectorConnection> connection = std::move(it->second);
    m_connections.erase(it);
    emit connectionsChanged();
    if (stop)
        connection->stop();
    emit dropped(deviceID);
    // Deleting waits for the connection's queue; later, outside any of its callbacks.
    connection.release()->deleteLater();
}

void DeviceLinks::setTrouble(const QString& deviceID, std::optional<QString> text) {
    if (text) {
        if (m_trouble.value(deviceID) == *text && m_trouble.contains(deviceID))
            return;
        // Once per new text: a device that stays unreachable is tried again on every scan.
        qCWarning(lcConsole) << "cannot reach" << deviceID << *text;
        m_trouble.insert(deviceID, *text);
    } else if (!m_trouble.remove(deviceID)) {
        return;
    }
    emit troubleChanged();
}
