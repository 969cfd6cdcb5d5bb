#pragma once

#include "console/ConsoleScope.h"
#include "console/DeviceDiscovery.h"
#include "console/DeviceLinks.h"
#include "console/EntryStore.h"
#include "console/PageInventory.h"
#include "inspector/ConnectionEvents.h"

#include <QObject>

class WebInspectorConnection;

// The one store of the program: the devices found by the last scan and their connections
// (DeviceLinks), the applications and pages the connections report (PageInventory), and their
// console entries with unseen counts per device (EntryStore). The hub wires the connections to the
// other two, forgets a device's state when its connection ends, and answers for all three.
//
// Lives on the main thread. Every published property has a change signal that fires only when the
// value really changed (entries, connections and waiting fire on every write). Readers get copies
// or freshly sorted lists, never the stored collections.
class ConsoleHub : public QObject {
    Q_OBJECT

public:
    static constexpr int kHistoryLimit = EntryStore::kHistoryLimit;
    using Discovery = DeviceDiscovery;
    using PageMark = PageInventory::PageMark;
    using EvaluationCompletion = EntryStore::EvaluationCompletion;

    explicit ConsoleHub(QObject* parent = nullptr);
    explicit ConsoleHub(Discovery discovery, QObject* parent = nullptr);
    ~ConsoleHub() override;

    const DeviceLinks& links() const { return m_links; }
    const PageInventory& inventory() const { return m_inventory; }
    const EntryStore& store() const { return m_store; }

    // ---- Devices and connections ----
    QList<InspectableDevice> devices() const { return m_links.devices(); }
    QHash<QString, QString> trouble() const { return m_links.trouble(); }
    WebInspectorConnection* connection(const QString& deviceID) const { return m_links.connection(deviceID); }
    QStringList connectedDevices() const { return m_links.connectedDevices(); }
    bool isCapturing() const { return m_links.isCapturing(); }
    void setCapturing(bool on) { m_links.setCapturing(on); }
    void start() { m_links.start(); }
    void rescanDevices() { m_links.rescanDevices(); }

    // ---- Applications and pages ----
    QHash<AppKey, InspectorApp> apps() const { return m_inventory.apps(); }
    QHash<PageKey, InspectorPage> pages() const { return m_inventory.pages(); }
    QList<InspectorApp> apps(const QString& deviceID) const { return m_inventory.apps(deviceID); }
    QList<InspectorPage> pages(const QString& deviceID) const { return m_inventory.pages(deviceID); }
    QList<InspectorPage> pages(const AppKey& app) const { return m_inventory.pages(app); }
    std::optional<AppKey> app(const QString& name, const QString& deviceID) const {
        return m_inventory.app(name, deviceID);
    }
    std::optional<PageMark> mark(const PageKey& page) const { return m_inventory.mark(page); }
    std::optional<PageKey> page(const PageMark& mark) const { return m_inventory.page(mark); }

    // ---- Entries ----
    QList<ConsoleEntry> entries(const ConsoleScope& scope) const { return m_store.entries(scope); }
    QList<ConsoleEntry> entriesAfter(const ConsoleScope& scope, qint64 sequence) const {
        return m_store.entriesAfter(scope, sequence);
    }
    qint64 lastSequence() const { return m_store.lastSequence(); }
    qint64 removals(const QString& deviceID) const { return m_store.removals(deviceID); }
    qint64 revision() const { return m_inventory.revision(); }
    qsizetype entryCount(const PageKey& page) const { return m_store.entryCount(page); }
    qsizetype entryCount(const ConsoleScope& scope) const { return m_store.entryCount(scope); }
    qsizetype waitingCount(const PageKey& page) const { return m_store.waitingCount(page); }
    QHash<QString, qint64> unseen() const { return m_store.unseen(); }
    QHash<QString, qint64> unseenProblems() const { return m_store.unseenProblems(); }
    qint64 unseen(const QString& deviceID) const { return m_store.unseen(deviceID); }
    qint64 unseenProblems(const QString& deviceID) const { return m_store.unseenProblems(deviceID); }
    QHash<ObjectKey, QList<PropertyNode>> properties() const { return m_store.properties(); }
    void setReading(std::optional<QString> deviceID) { m_store.setReading(std::move(deviceID)); }
    void append(ConsoleEntry entry) { m_store.append(std::move(entry)); }
    void repeated(const PageKey& page, qint64 count) { m_store.repeated(page, count); }
    void markSeen(const QString& deviceID) { m_store.markSeen(deviceID); }
    void clear(const QString& deviceID) { m_store.clear(deviceID); }

    // ---- Requests to a page ----
    // Stores the expression as an input entry and runs it; `completion` gets the result entry that
    // answers it (an error one when the device's connection ends first). Returns the evaluation's
    // identity, the input entry's id, which its result entry names. With `awaitPromise` the result
    // is what a promise value settles to.
    QUuid evaluate(const QString& expression, const PageKey& page, EvaluationCompletion completion = {},
                   bool awaitPromise = false);
    // The caller of an evaluation gave up: its completion is dropped.
    void forgetEvaluation(const QUuid& evaluation) { m_store.forget(evaluation); }
    // Whether input can go to the page: capturing, and the page is there and not held elsewhere.
    bool canEvaluate(const std::optional<PageKey>& page) const;
    // The rows of a remote object, from the cache or the page; none without a connection.
    void expand(const QString& objectID, const PageKey& page,
                std::function<void(QList<PropertyNode>)> completion);

signals:
    void devicesChanged();
    void troubleChanged();
    void connectionsChanged();
    void isCapturingChanged();
    // A device lost its connection; emitted before its applications, pages and entries go.
    void deviceDropped(const QString& deviceID);
    // A scan's result has been applied.
    void scanFinished();
    void appsChanged();
    void pagesChanged();
    void revisionChanged();
    void entriesChanged();
    void unseenChanged();
    void unseenProblemsChanged();
    void propertiesChanged();
    void readingChanged();
    void waitingChanged();
    // A stored message now repeats `count` times.
    void entryRepeated(const PageKey& page, const QUuid& id, qint64 count);

private:
    void drop(const QString& deviceID);
    ConsoleEntry navigationMarker(const ConnectionEvents::Cleared& cleared) const;

    PageInventory m_inventory;
    EntryStore m_store;
    DeviceLinks m_links; // last, so that it goes first: its connections report to the other two
};
