#include "console/ConsoleHub.h"

#include "wire/DeviceTransport.h"
#include "inspector/PhysicalDevices.h"
#include "inspector/SimulatorDevices.h"
#include "base/StandardOrder.h"
#include "wire/UnixTransport.h"
#include "inspector/WebInspectorConnection.h"

#include <QClipboard>
#include <QCollator>
#include <QGuiApplication>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

bool codePointLess(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseSensitive) < 0;
}

} // namespace

ConsoleHub::Discovery ConsoleHub::Discovery::standard() {
    Discovery discovery;
    discovery.simulators = [] { return SimulatorDevices::booted(); };
    discovery.devices = [] { return PhysicalDevices::attached(); };
    discovery.transport = [](const InspectableDevice& device) -> std::shared_ptr<WIRTransport> {
        if (device.kind == InspectableDevice::Kind::device)
            return std::make_shared<DeviceTransport>(device.udid);
        if (device.socketPath)
            return std::make_shared<UnixTransport>(*device.socketPath);
        return nullptr;
    };
    return discovery;
}

ConsoleHub::ConsoleHub(QObject* parent) : ConsoleHub(Discovery::standard(), parent) {}

ConsoleHub::ConsoleHub(Discovery discovery, QObject* parent)
    : QObject(parent), m_discovery(std::move(discovery)) {
    // Emitted on the scan thread, received on the main thread; the result itself waits under a lock.
    connect(this, &ConsoleHub::scanCompleted, this, &ConsoleHub::takeScanResult, Qt::QueuedConnection);
}

void ConsoleHub::takeScanResult() {
    std::optional<ScanResult> finished;
    {
        std::lock_guard lock(m_scanLock);
        finished.swap(m_scanResult);
    }
    if (finished)
        applyScan(std::move(*finished));
}

ConsoleHub::~ConsoleHub() {
    if (m_scanThread.joinable())
        m_scanThread.join();
    m_connections.clear();
}

WebInspectorConnection* ConsoleHub::connection(const QString& deviceID) const {
    const auto it = m_connections.find(deviceID);
    return it == m_connections.end() ? nullptr : it->second.get();
}

QStringList ConsoleHub::connectedDevices() const {
    QStringList ids;
    for (const auto& [id, connection] : m_connections)
        ids.append(id);
    ids.sort();
    return ids;
}

qsizetype ConsoleHub::entryCount(const PageKey& page) const {
    const auto it = m_entries.constFind(page);
    return it == m_entries.cend() ? 0 : it->size();
}

qsizetype ConsoleHub::waitingCount(const PageKey& page) const {
    const auto it = m_waiting.constFind(page);
    return it == m_waiting.cend() ? 0 : it->size();
}

void ConsoleHub::setCapturing(bool on) {
    if (m_capturing == on)
        return;
    m_capturing = on;
    for (const auto& [id, connection] : m_connections)
        connection->setCapturing(on);
    emit isCapturingChanged();
}

void ConsoleHub::setReading(std::optional<QString> deviceID) {
    if (m_reading == deviceID)
        return;
    m_reading = std::move(deviceID);
    emit readingChanged();
}

// ---- Scanning ------------------------------------------------------------------------------

void ConsoleHub::start() {
    rescanDevices();
    if (!m_deviceTimer) {
        m_deviceTimer = new QTimer(this);
        m_deviceTimer->setInterval(m_scanInterval);
        connect(m_deviceTimer, &QTimer::timeout, this, &ConsoleHub::rescanDevices);
        m_deviceTimer->start();
    }
}

void ConsoleHub::rescanDevices() {
    if (m_scanning)
        return;
    m_scanning = true;
    if (m_scanThread.joinable())
        m_scanThread.join();
    QSet<QString> connected;
    for (const auto& [id, connection] : m_connections)
        connected.insert(id);
    // The tools and lockdown handshakes can take a while: they run on a thread of their own, and
    // the result comes back to the main thread. The destructor waits for a scan still running.
    m_scanThread = std::thread([this, connected] {
        // The result waits under our own lock; the signal only says it is there.
        ScanResult result = scan(connected);
        {
            std::lock_guard lock(m_scanLock);
            m_scanResult = std::move(result);
        }
        emit scanCompleted();
    });
}

ConsoleHub::ScanResult ConsoleHub::scan(const QSet<QString>& connected) const {
    ScanResult result;
    if (m_discovery.simulators)
        result.devices += m_discovery.simulators();
    if (m_discovery.devices)
        result.devices += m_discovery.devices();
    for (const InspectableDevice& device : std::as_const(result.devices)) {
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

void ConsoleHub::applyScan(ScanResult result) {
    m_scanning = false;
    if (m_devices != result.devices) {
        m_devices = result.devices;
        emit devicesChanged();
    }
    QSet<QString> listed;
    for (const InspectableDevice& device : std::as_const(m_devices))
        listed.insert(device.udid);
    for (const QString& id : connectedDevices())
        if (!listed.contains(id))
            removeConnection(id, true);
    for (const InspectableDevice& device : std::as_const(m_devices)) {
        if (m_connections.contains(device.udid))
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

void ConsoleHub::connectDevice(const InspectableDevice& device, std::shared_ptr<WIRTransport> transport,
                               std::optional<WIRError> openError) {
    const QString id = device.udid;
    if (openError) {
        setTrouble(id, openError->userText());
        return;
    }
    auto connection = std::make_unique<WebInspectorConnection>(id, std::move(transport));
    QPointer<ConsoleHub> self(this);
    connection->onApps = [this, id](QList<InspectorApp> apps) { replaceApps(id, std::move(apps)); };
    connection->onPages = [this, id](QList<InspectorPage> pages) { replacePages(id, std::move(pages)); };
    connection->onEntry = [this](ConsoleEntry entry) { append(std::move(entry)); };
    connection->onCleared = [this](PageKey page) { cleared(page); };
    connection->onRepeat = [this](PageKey page, qint64 count) { repeated(page, count); };
    WebInspectorConnection* raw = connection.get();
    connection->onClose = [self, raw, id] {
        // On the connection's queue: the rest happens on the main thread, if the hub still lives
        // and this is still the device's connection.
        QMetaObject::invokeMethod(
            self.data(),
            [self, raw, id] {
                if (self && self->connection(id) == raw)
                    self->removeConnection(id, false);
            },
            Qt::QueuedConnection);
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

void ConsoleHub::removeConnection(const QString& deviceID, bool stop) {
    auto it = m_connections.find(deviceID);
    if (it == m_connections.end())
        return;
    std::unique_ptr<WebInspectorConnection> connection = std::move(it->second);
    m_connections.erase(it);
    emit connectionsChanged();
    if (stop)
        connection->stop();
    drop(deviceID);
    // Deleting waits for the connection's queue; later, outside any of its callbacks.
    connection.release()->deleteLater();
}

void ConsoleHub::setTrouble(const QString& deviceID, std::optional<QString> text) {
    if (text) {
        if (m_trouble.value(deviceID) == *text && m_trouble.contains(deviceID))
            return;
        m_trouble.insert(deviceID, *text);
    } else if (!m_trouble.remove(deviceID)) {
        return;
    }
    emit troubleChanged();
}

void ConsoleHub::drop(const QString& deviceID) {
    if (m_indicated && m_indicated->deviceID == deviceID) {
        m_indicated.reset();
        emit indicatedChanged();
    }
    auto removeFrom = [&](auto& map, auto keyDevice, void (ConsoleHub::*changed)()) {
        bool removed = false;
        for (auto it = map.begin(); it != map.end();) {
            if (keyDevice(it.key()) == deviceID) {
                it = map.erase(it);
                removed = true;
            } else {
                ++it;
            }
        }
        if (removed)
            emit(this->*changed)();
    };
    removeFrom(
        m_apps, [](const AppKey& key) { return key.deviceID; }, &ConsoleHub::appsChanged);
    removeFrom(
        m_appIcons, [](const AppKey& key) { return key.deviceID; }, &ConsoleHub::appIconsChanged);
    removeFrom(
        m_pages, [](const PageKey& key) { return key.deviceID; }, &ConsoleHub::pagesChanged);
    removeFrom(
        m_entries, [](const PageKey& key) { return key.deviceID; }, &ConsoleHub::entriesChanged);
    removeFrom(
        m_properties, [](const ObjectKey& key) { return key.page.deviceID; }, &ConsoleHub::propertiesChanged);
    if (m_unseen.remove(deviceID))
        emit unseenChanged();
    if (m_unseenProblems.remove(deviceID))
        emit unseenProblemsChanged();
}

void ConsoleHub::replaceApps(const QString& deviceID, QList<InspectorApp> apps) {
    const QHash<AppKey, InspectorApp> before = m_apps;
    for (auto it = m_apps.begin(); it != m_apps.end();)
        it = it.key().deviceID == deviceID ? m_apps.erase(it) : std::next(it);
    ++m_revision;
    bool iconsChanged = false;
    for (InspectorApp& app : apps) {
        if (!m_appIcons.contains(app.key) && app.iconData) {
            QImage image = QImage::fromData(*app.iconData);
            if (!image.isNull()) {
                m_appIcons.insert(app.key, std::move(image));
                iconsChanged = true;
            }
        }
        m_apps.insert(app.key, std::move(app));
    }
    if (m_apps != before)
        emit appsChanged();
    if (iconsChanged)
        emit appIconsChanged();
    emit revisionChanged();
}

void ConsoleHub::replacePages(const QString& deviceID, QList<InspectorPage> pages) {
    const QHash<PageKey, InspectorPage> before = m_pages;
    for (auto it = m_pages.begin(); it != m_pages.end();)
        it = it.key().deviceID == deviceID ? m_pages.erase(it) : std::next(it);
    for (InspectorPage& page : pages)
        m_pages.insert(page.key, std::move(page));
    ++m_revision;
    if (m_pages != before)
        emit pagesChanged();
    emit revisionChanged();
}

// ---- Queries -------------------------------------------------------------------------------

QList<InspectorApp> ConsoleHub::apps(const QString& deviceID) const {
    QSet<QString> withPages;
    for (const InspectorPage& page : m_pages)
        if (page.key.deviceID == deviceID)
            withPages.insert(page.key.appID);
    QList<InspectorApp> result;
    for (const InspectorApp& app : m_apps)
        if (app.key.deviceID == deviceID && withPages.contains(app.key.appID))
            result.append(app);
    std::stable_sort(result.begin(), result.end(), [](const InspectorApp& a, const InspectorApp& b) {
        const int byName = QString::compare(a.name, b.name, Qt::CaseSensitive);
        if (byName != 0)
            return byName < 0;
        return a.pid().value_or(0) < b.pid().value_or(0);
    });
    return result;
}

QList<InspectorPage> ConsoleHub::pages(const QString& deviceID) const {
    QList<std::pair<QString, InspectorPage>> labelled;
    for (const InspectorPage& page : m_pages)
        if (page.key.deviceID == deviceID)
            labelled.append({page.shortLabel(), page});
    std::stable_sort(labelled.begin(), labelled.end(), [](const auto& a, const auto& b) {
        const int byApp = QString::compare(a.second.appName, b.second.appName, Qt::CaseSensitive);
        if (byApp != 0)
            return byApp < 0;
        return codePointLess(a.first, b.first);
    });
    QList<InspectorPage> result;
    result.reserve(labelled.size());
    for (auto& [label, page] : labelled)
        result.append(std::move(page));
    return result;
}

QList<InspectorPage> ConsoleHub::pages(const AppKey& app) const {
    QList<std::pair<QString, InspectorPage>> titled;
    for (const InspectorPage& page : m_pages)
        if (page.key.deviceID == app.deviceID && page.key.appID == app.appID)
            titled.append({page.displayTitle(), page});
    const QCollator collator = StandardOrder::collator();
    std::stable_sort(titled.begin(), titled.end(),
                     [&](const auto& a, const auto& b) { return collator.compare(a.first, b.first) < 0; });
    QList<InspectorPage> result;
    result.reserve(titled.size());
    for (auto& [title, page] : titled)
        result.append(std::move(page));
    return result;
}

std::optional<AppKey> ConsoleHub::app(const QString& name, const QString& deviceID) const {
    for (const InspectorApp& app : m_apps)
        if (app.key.deviceID == deviceID && app.name == name)
            return app.key;
    return std::nullopt;
}

std::optional<InspectableDevice> ConsoleHub::device(const QString& windowTitle) const {
    const auto simulator = [](const InspectableDevice& d) {
        return d.kind == InspectableDevice::Kind::simulator;
    };
    for (const InspectableDevice& d : m_devices)
        if (simulator(d) && d.name + QStringLiteral(" \u2014 ") + d.runtime == windowTitle)
            return d;
    for (const InspectableDevice& d : m_devices)
        if (d.name == windowTitle)
            return d;
    for (const InspectableDevice& d : m_devices)
        if (simulator(d) && windowTitle.startsWith(d.name))
            return d;
    return std::nullopt;
}

std::optional<ConsoleHub::PageMark> ConsoleHub::mark(const PageKey& page) const {
    const auto it = m_pages.constFind(page);
    if (it == m_pages.cend())
        return std::nullopt;
    return PageMark{page.deviceID, it->appName, it->displayTitle(), it->url};
}

QString ConsoleHub::stem(const QString& url) {
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid())
        return url;
    return parsed.host() + parsed.path();
}

std::optional<PageKey> ConsoleHub::page(const PageMark& mark) const {
    QList<const InspectorPage*> candidates;
    for (const InspectorPage& page : m_pages)
        if (page.key.deviceID == mark.deviceID && page.appName == mark.appName)
            candidates.append(&page);
    for (const InspectorPage* page : candidates)
        if (page->url == mark.url)
            return page->key;
    if (!mark.name.isEmpty())
        for (const InspectorPage* page : candidates)
            if (page->displayTitle() == mark.name)
                return page->key;
    const QString wanted = stem(mark.url);
    std::optional<PageKey> only;
    for (const InspectorPage* page : candidates) {
        if (stem(page->url) != wanted)
            continue;
        if (only)
            return std::nullopt;
        only = page->key;
    }
    return only;
}

void ConsoleHub::hover(const PageKey& page, bool isHovering) {
    if (!isHovering) {
        if (m_indicated != page)
            return;
        m_indicated.reset();
        emit indicatedChanged();
        if (WebInspectorConnection* link = connection(page.deviceID))
            link->indicate(page, false);
        return;
    }
    if (m_indicated == page)
        return;
    if (m_indicated)
        if (WebInspectorConnection* link = connection(m_indicated->deviceID))
            link->indicate(*m_indicated, false);
    m_indicated = page;
    emit indicatedChanged();
    if (WebInspectorConnection* link = connection(page.deviceID))
        link->indicate(page, true);
}

// ---- Entries -------------------------------------------------------------------------------

void ConsoleHub::addCount(QHash<QString, qint64>& counts, const QString& deviceID,
                          void (ConsoleHub::*changed)()) {
    ++counts[deviceID];
    emit(this->*changed)();
}

void ConsoleHub::append(ConsoleEntry entry) {
    QList<ConsoleEntry>& list = m_entries[entry.page];
    if (list.size() >= historyLimit)
        list.remove(0, list.size() - historyLimit + 1);
    const PageKey page = entry.page;
    const EntryKind kind = entry.kind;
    const bool problem = isProblem(entry.level);
    list.append(std::move(entry));
    emit entriesChanged();

    switch (kind) {
    case EntryKind::message:
        if (m_reading != page.deviceID) {
            addCount(m_unseen, page.deviceID, &ConsoleHub::unseenChanged);
            if (problem)
                addCount(m_unseenProblems, page.deviceID, &ConsoleHub::unseenProblemsChanged);
        }
        break;
    case EntryKind::result: {
        auto waiting = m_waiting.find(page);
        if (waiting == m_waiting.end() || waiting->isEmpty())
            break;
        EvaluationCompletion completion = waiting->takeFirst();
        if (waiting->isEmpty())
            m_waiting.erase(waiting);
        emit waitingChanged();
        if (completion)
            completion(m_entries.value(page).last());
        break;
    }
    case EntryKind::input:
        break;
    }
}

void ConsoleHub::repeated(const PageKey& page, qint64 count) {
    auto it = m_entries.find(page);
    if (it == m_entries.end() || it->isEmpty())
        return;
    it->last().repeatCount = count;
    emit entriesChanged();
    addCount(m_unseen, page.deviceID, &ConsoleHub::unseenChanged);
}

void ConsoleHub::cleared(const PageKey& page) {
    m_entries[page].clear();
    emit entriesChanged();
}

QList<ConsoleEntry> ConsoleHub::entries(const ConsoleScope& scope) const {
    if (const PageKey* page = std::get_if<PageKey>(&scope.value()))
        return m_entries.value(*page);
    // Concatenate the pages' lists, then order by receive time; equal times keep their order.
    struct Slot {
        qint64 at;
        const ConsoleEntry* entry;
    };
    std::vector<Slot> order;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (!scope.contains(it.key()))
            continue;
        for (const ConsoleEntry& entry : *it)
            order.push_back({entry.receivedAt.toMSecsSinceEpoch(), &entry});
    }
    std::stable_sort(order.begin(), order.end(), [](const Slot& a, const Slot& b) { return a.at < b.at; });
    QList<ConsoleEntry> result;
    result.reserve(qsizetype(order.size()));
    for (const Slot& slot : order)
        result.append(*slot.entry);
    return result;
}

void ConsoleHub::markSeen(const QString& deviceID) {
    if (m_unseen.value(deviceID, -1) != 0) {
        m_unseen.insert(deviceID, 0);
        emit unseenChanged();
    }
    if (m_unseenProblems.value(deviceID, -1) != 0) {
        m_unseenProblems.insert(deviceID, 0);
        emit unseenProblemsChanged();
    }
}

void ConsoleHub::clear(const QString& deviceID) {
    bool changed = false;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it.key().deviceID == deviceID) {
            it->clear();
            changed = true;
        }
    }
    if (changed)
        emit entriesChanged();
    bool removed = false;
    for (auto it = m_properties.begin(); it != m_properties.end();) {
        if (it.key().page.deviceID == deviceID) {
            it = m_properties.erase(it);
            removed = true;
        } else {
            ++it;
        }
    }
    if (removed)
        emit propertiesChanged();
    markSeen(deviceID);
}

void ConsoleHub::evaluate(const QString& expression, const PageKey& page, EvaluationCompletion completion) {
    ConsoleEntry input;
    input.page = page;
    input.level = ConsoleLevel::log;
    input.source = QStringLiteral("console-input");
    input.text = expression;
    input.receivedAt = QDateTime::currentDateTimeUtc();
    input.kind = EntryKind::input;
    append(std::move(input));
    if (completion) {
        m_waiting[page].append(std::move(completion));
        emit waitingChanged();
    }
    if (WebInspectorConnection* link = connection(page.deviceID))
        link->evaluate(expression, page);
}

bool ConsoleHub::canEvaluate(const std::optional<PageKey>& page) const {
    if (!m_capturing || !page)
        return false;
    const auto it = m_pages.constFind(*page);
    return it != m_pages.cend() && !it->claimedElsewhere;
}

void ConsoleHub::expand(const QString& objectID, const PageKey& page,
                        std::function<void(QList<PropertyNode>)> completion) {
    const ObjectKey key{page, objectID};
    if (const auto cached = m_properties.constFind(key);
        cached != m_properties.cend() && !cached->isEmpty()) {
        completion(*cached);
        return;
    }
    WebInspectorConnection* link = connection(page.deviceID);
    if (!link) {
        completion({});
        return;
    }
    QPointer<ConsoleHub> self(this);
    link->properties(objectID, page,
                     [self, key, completion = std::move(completion)](QList<PropertyNode> nodes) {
                         if (!self)
                             return;
                         self->m_properties.insert(key, nodes);
                         emit self->propertiesChanged();
                         completion(std::move(nodes));
                     });
}

void ConsoleHub::copy(const QString& objectID, const PageKey& page, bool asJSON) {
    WebInspectorConnection* link = connection(page.deviceID);
    if (!link)
        return;
    link->serialize(objectID, page, asJSON, [](std::optional<QString> text) {
        if (!text || !qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            return;
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(*text);
    });
}
