#pragma once

#include "inspector/ConsoleEntry.h"
#include "console/ConsoleScope.h"
#include "inspector/ObjectKey.h"
#include "inspector/PropertyNode.h"
#include "inspector/InspectableDevice.h"
#include "inspector/InspectorApp.h"
#include "inspector/InspectorPage.h"
#include "wire/WIRError.h"
#include "wire/WIRTransport.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

class QTimer;
class WebInspectorConnection;

// The one store of the program: the devices found by the last scan, one inspector connection per
// reachable device, and everything the connections report — applications, pages, console entries —
// with unseen counts per device.
//
// Lives on the main thread. Every published property has a change signal that fires only when the
// value really changed (entries, connections and waiting fire on every write). Readers get copies
// or freshly sorted lists, never the stored collections.
class ConsoleHub : public QObject {
    Q_OBJECT

public:
    static constexpr int historyLimit = 2000;

    // A description of a page that finds it again after its identity changed.
    struct PageMark {
        QString deviceID;
        QString appName;
        QString name;
        QString url;
        friend bool operator==(const PageMark&, const PageMark&) = default;
    };

    // How devices are found and reached. The defaults ask the simulator tools and usbmuxd.
    struct Discovery {
        std::function<QList<InspectableDevice>()> simulators;
        std::function<QList<InspectableDevice>()> devices;
        std::function<std::shared_ptr<WIRTransport>(const InspectableDevice&)> transport;
        static Discovery standard();
    };

    using EvaluationCompletion = std::function<void(ConsoleEntry)>;

    explicit ConsoleHub(QObject* parent = nullptr);
    ConsoleHub(Discovery discovery, QObject* parent = nullptr);
    ~ConsoleHub() override;

    // ---- Published state ----
    QList<InspectableDevice> devices() const { return m_devices; }
    QHash<AppKey, InspectorApp> apps() const { return m_apps; }
    QHash<AppKey, QImage> appIcons() const { return m_appIcons; }
    QHash<PageKey, InspectorPage> pages() const { return m_pages; }
    QHash<QString, qint64> unseen() const { return m_unseen; }
    QHash<QString, qint64> unseenProblems() const { return m_unseenProblems; }
    qint64 unseen(const QString& deviceID) const { return m_unseen.value(deviceID); }
    qint64 unseenProblems(const QString& deviceID) const { return m_unseenProblems.value(deviceID); }
    QHash<ObjectKey, QList<PropertyNode>> properties() const { return m_properties; }
    QHash<QString, QString> trouble() const { return m_trouble; }
    qint64 revision() const { return m_revision; }
    bool isCapturing() const { return m_capturing; }
    std::optional<QString> reading() const { return m_reading; }
    std::optional<PageKey> indicated() const { return m_indicated; }
    // The live connection of a device, or null.
    WebInspectorConnection* connection(const QString& deviceID) const;
    QStringList connectedDevices() const;
    // Number of stored entries of a page (0 when none).
    qsizetype entryCount(const PageKey& page) const;
    // Completions waiting for a result of this page.
    qsizetype waitingCount(const PageKey& page) const;

    void setCapturing(bool on);
    void setReading(std::optional<QString> deviceID);

    // ---- Devices and connections ----
    // One scan now, then one every scanInterval (3 s).
    void start();
    // Starts one scan unless one is running. Discovery runs off the main thread; its result is
    // applied on the main thread (scanFinished follows).
    void rescanDevices();
    bool isScanning() const { return m_scanning; }
    void setScanInterval(int milliseconds) { m_scanInterval = milliseconds; }

    // ---- Inventory queries ----
    QList<InspectorApp> apps(const QString& deviceID) const;
    QList<InspectorPage> pages(const QString& deviceID) const;
    QList<InspectorPage> pages(const AppKey& app) const;
    std::optional<AppKey> app(const QString& name, const QString& deviceID) const;
    std::optional<InspectableDevice> device(const QString& windowTitle) const;
    std::optional<PageMark> mark(const PageKey& page) const;
    std::optional<PageKey> page(const PageMark& mark) const;
    void hover(const PageKey& page, bool isHovering);

    // ---- Entries ----
    QList<ConsoleEntry> entries(const ConsoleScope& scope) const;
    void markSeen(const QString& deviceID);
    void clear(const QString& deviceID);
    void evaluate(const QString& expression, const PageKey& page, EvaluationCompletion completion = {});
    bool canEvaluate(const std::optional<PageKey>& page) const;
    void expand(const QString& objectID, const PageKey& page,
                std::function<void(QList<PropertyNode>)> completion);
    void copy(const QString& objectID, const PageKey& page, bool asJSON);

    // What the connections report: every entry goes through append; a page's last entry repeated
    // `count` times; a page that cleared its own console.
    void append(ConsoleEntry entry);
    void repeated(const PageKey& page, qint64 count);
    void cleared(const PageKey& page);

    static QString describe(const WIRError& error) { return error.userText(); }
    // Host and path of a URL, so that scheme, port, query and fragment do not count.
    static QString stem(const QString& url);

signals:
    void devicesChanged();
    void appsChanged();
    void appIconsChanged();
    void pagesChanged();
    void entriesChanged();
    void unseenChanged();
    void unseenProblemsChanged();
    void propertiesChanged();
    void troubleChanged();
    void revisionChanged();
    void isCapturingChanged();
    void readingChanged();
    void connectionsChanged();
    void indicatedChanged();
    void waitingChanged();
    // A scan's result has been applied.
    void scanFinished();
    // A scan thread has left its result (internal: emitted off the main thread).
    void scanCompleted();

private:
    struct ScanResult {
        QList<InspectableDevice> devices;
        // Transports opened off the main thread for devices that had no connection.
        QHash<QString, std::shared_ptr<WIRTransport>> opened;
        QHash<QString, WIRError> failed;
    };

    ScanResult scan(const QSet<QString>& connected) const;
    void takeScanResult();
    void applyScan(ScanResult result);
    void connectDevice(const InspectableDevice& device, std::shared_ptr<WIRTransport> transport,
                       std::optional<WIRError> openError);
    void drop(const QString& deviceID);
    void removeConnection(const QString& deviceID, bool stop);
    void replaceApps(const QString& deviceID, QList<InspectorApp> apps);
    void replacePages(const QString& deviceID, QList<InspectorPage> pages);
    void setTrouble(const QString& deviceID, std::optional<QString> text);
    void addCount(QHash<QString, qint64>& counts, const QString& deviceID, void (ConsoleHub::*changed)());

    Discovery m_discovery;
    QList<InspectableDevice> m_devices;
    QHash<AppKey, InspectorApp> m_apps;
    QHash<AppKey, QImage> m_appIcons;
    QHash<PageKey, InspectorPage> m_pages;
    QHash<PageKey, QList<ConsoleEntry>> m_entries;
    QHash<QString, qint64> m_unseen;
    QHash<QString, qint64> m_unseenProblems;
    QHash<ObjectKey, QList<PropertyNode>> m_properties;
    QHash<QString, QString> m_trouble;
    qint64 m_revision = 0;
    bool m_capturing = true;
    std::optional<QString> m_reading;
    std::unordered_map<QString, std::unique_ptr<WebInspectorConnection>> m_connections;
    std::optional<PageKey> m_indicated;
    QHash<PageKey, QList<EvaluationCompletion>> m_waiting;
    QTimer* m_deviceTimer = nullptr;
    int m_scanInterval = 3000;
    bool m_scanning = false;
    std::thread m_scanThread;
    std::mutex m_scanLock;
    std::optional<ScanResult> m_scanResult; // a finished scan on its way to the main thread
};
