#pragma once

#include "console/DeviceDiscovery.h"
#include "wire/WIRError.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

class QTimer;
class WebInspectorConnection;

// The devices found by the last scan and one inspector connection per reachable device, with a
// trouble text for each device that could not be reached.
//
// Scans run on a thread of their own (the tools and lockdown handshakes can take a while); their
// result is applied on the main thread. A connection that ends drops its device until the next scan.
// When a source could not tell what it has, its devices of the last scan stay as they are.
// Lives on the main thread; every change signal fires only when the value really changed
// (connectionsChanged fires on every connect and drop).
class DeviceLinks : public QObject {
    Q_OBJECT

public:
    static constexpr int kScanInterval = 3000; // milliseconds

    explicit DeviceLinks(DeviceDiscovery discovery, QObject* parent = nullptr);
    ~DeviceLinks() override;

    // Called with every new connection before it starts, to route what it reports.
    std::function<void(WebInspectorConnection&)> prepare;

    QList<InspectableDevice> devices() const { return m_devices; }
    QHash<QString, QString> trouble() const { return m_trouble; }
    // The live connection of a device, or null.
    WebInspectorConnection* connection(const QString& deviceID) const;
    // The devices with a live connection, sorted.
    QStringList connectedDevices() const;

    bool isCapturing() const { return m_capturing; }
    void setCapturing(bool on);

    // One scan now, then one every scan interval.
    void start();
    // Starts one scan unless one is running; scanFinished follows once its result is applied.
    void rescanDevices();
    bool isScanning() const { return m_scanning; }
    void setScanInterval(int milliseconds) { m_scanInterval = milliseconds; }

signals:
    void devicesChanged();
    void troubleChanged();
    void connectionsChanged();
    void isCapturingChanged();
    // A device lost its connection; what it reported is to be forgotten.
    void dropped(const QString& deviceID);
    // A scan's result has been applied.
    void scanFinished();
    // A scan thread has left its result (internal: emitted off the main thread).
    void scanCompleted();
    // A connection's queue has reported its link closed (internal: emitted off the main thread).
    void linkClosed();

private:
    struct ScanResult {
        // Each source's devices; nothing where it could not tell.
        std::optional<QList<InspectableDevice>> simulators, devices;
        // Transports opened off the main thread for devices that had no connection.
        QHash<QString, std::shared_ptr<WIRTransport>> opened;
        QHash<QString, WIRError> failed;
    };

    ScanResult scan(const QSet<QString>& connected, const QList<InspectableDevice>& lastSimulators,
                    const QList<InspectableDevice>& lastDevices) const;
    void takeScanResult();
    void takeClosedLinks();
    void applyScan(ScanResult result);
    void connectDevice(const InspectableDevice& device, std::shared_ptr<WIRTransport> transport,
                       std::optional<WIRError> openError);
    void removeConnection(const QString& deviceID, bool stop);
    void setTrouble(const QString& deviceID, std::optional<QString> text);

    DeviceDiscovery m_discovery;
    QList<InspectableDevice> m_devices;
    QList<InspectableDevice> m_lastSimulators, m_lastDevices; // m_devices by source
    QHash<QString, QString> m_trouble;
    std::unordered_map<QString, std::unique_ptr<WebInspectorConnection>> m_connections;
    bool m_capturing = true;
    QTimer* m_scanTimer = nullptr;
    int m_scanInterval = kScanInterval;
    bool m_scanning = false;
    std::thread m_scanThread;
    std::mutex m_scanLock;
    std::optional<ScanResult> m_scanResult; // a finished scan on its way to the main thread
    // Links that ended, on their way from their queues to the main thread. Shared with the
    // connections, which may outlive this list by a deferred delete.
    struct ClosedLinks {
        std::mutex lock;
        DeviceLinks* owner = nullptr; // null once the list is gone
        std::vector<std::pair<QString, const WebInspectorConnection*>> links;
    };
    const std::shared_ptr<ClosedLinks> m_closed = std::make_shared<ClosedLinks>();
};
