#include "console/ConsoleHub.h"

#include "base/Logging.h"
#include "base/Preferences.h"
#include "inspector/WebInspectorConnection.h"

#include <QPointer>

ConsoleHub::ConsoleHub(QObject* parent) : ConsoleHub(Discovery::standard(), parent) {}

ConsoleHub::ConsoleHub(Discovery discovery, QObject* parent)
    : QObject(parent), m_links(std::move(discovery)) {
    m_links.prepare = [this](WebInspectorConnection& connection) {
        const QString id = connection.deviceID();
        // A dropped connection lives on until its deferred delete, and reports already on their way
        // still arrive: only the device's current connection may fill the hub.
        const auto current = [this, id, raw = &connection] {
            if (m_links.connection(id) == raw)
                return true;
            qCDebug(lcConsole) << "ignoring a report of a dropped connection to" << id;
            return false;
        };
        connection.onApps = [this, id, current](QList<InspectorApp> apps) {
            if (current())
                m_inventory.replaceApps(id, std::move(apps));
        };
        connection.onPages = [this, id, current](QList<InspectorPage> pages) {
            if (current())
                m_inventory.replacePages(id, std::move(pages));
        };
        connection.onEntry = [this, current](ConsoleEntry entry) {
            if (current())
                m_store.append(std::move(entry));
        };
        connection.onEntries = [this, current](QList<ConsoleEntry> entries) {
            if (current())
                m_store.append(std::move(entries));
        };
        connection.onCleared = [this, current](ConnectionEvents::Cleared cleared) {
            if (!current())
                return;
            // Read now, so that every window and the agent server follow the one setting.
            if (cleared.reason == ConnectionEvents::Cleared::kNavigation && Preferences::keepAcrossLoads())
                m_store.append(navigationMarker(cleared));
            else
                m_store.cleared(cleared.page);
        };
        connection.onRepeat = [this, current](PageKey page, qint64 count) {
            if (current())
                m_store.repeated(page, count);
        };
    };
    connect(&m_links, &DeviceLinks::dropped, this, &ConsoleHub::drop);

    // The parts' signals are the hub's.
    connect(&m_links, &DeviceLinks::devicesChanged, this, &ConsoleHub::devicesChanged);
    connect(&m_links, &DeviceLinks::troubleChanged, this, &ConsoleHub::troubleChanged);
    connect(&m_links, &DeviceLinks::connectionsChanged, this, &ConsoleHub::connectionsChanged);
    connect(&m_links, &DeviceLinks::isCapturingChanged, this, &ConsoleHub::isCapturingChanged);
    connect(&m_links, &DeviceLinks::scanFinished, this, &ConsoleHub::scanFinished);
    connect(&m_inventory, &PageInventory::appsChanged, this, &ConsoleHub::appsChanged);
    connect(&m_inventory, &PageInventory::pagesChanged, this, &ConsoleHub::pagesChanged);
    connect(&m_inventory, &PageInventory::revisionChanged, this, &ConsoleHub::revisionChanged);
    connect(&m_store, &EntryStore::entriesChanged, this, &ConsoleHub::entriesChanged);
    connect(&m_store, &EntryStore::unseenChanged, this, &ConsoleHub::unseenChanged);
    connect(&m_store, &EntryStore::unseenProblemsChanged, this, &ConsoleHub::unseenProblemsChanged);
    connect(&m_store, &EntryStore::propertiesChanged, this, &ConsoleHub::propertiesChanged);
    connect(&m_store, &EntryStore::readingChanged, this, &ConsoleHub::readingChanged);
    connect(&m_store, &EntryStore::waitingChanged, this, &ConsoleHub::waitingChanged);
    connect(&m_store, &EntryStore::entryRepeated, this, &ConsoleHub::entryRepeated);
}

ConsoleHub::~ConsoleHub() = default;

// The row that stands between the messages of two documents of a page kept across a load.
ConsoleEntry ConsoleHub::navigationMarker(const ConnectionEvents::Cleared& cleared) const {
    // The page's own answer, else the address last listed (which may still be the old one).
    InspectorPage page;
    page.url = cleared.address;
    if (page.url.isEmpty())
        page.url = m_inventory.pages().value(cleared.page).url;
    const QString address = page.shortenedUrl();
    return ConsoleEntry{.page = cleared.page,
                        .level = ConsoleLevel::info,
                        .source = ConsoleEntry::kNoticeSource.toString(),
                        .text = address.isEmpty() ? QStringLiteral("Navigated to another page")
                                                  : QStringLiteral("Navigated to ") + address,
                        .receivedAt = QDateTime::currentDateTimeUtc()};
}

void ConsoleHub::drop(const QString& deviceID) {
    emit deviceDropped(deviceID);
    m_inventory.drop(deviceID);
    m_store.drop(deviceID);
}

QUuid ConsoleHub::evaluate(const QString& expression, const PageKey& page, EvaluationCompletion completion,
                           bool awaitPromise) {
    ConsoleEntry input;
    input.page = page;
    input.level = ConsoleLevel::log;
    input.source = QStringLiteral("console-input");
    input.text = expression;
    input.receivedAt = QDateTime::currentDateTimeUtc();
    input.kind = EntryKind::input;
    const QUuid evaluation = input.id;
    m_store.append(std::move(input));
    if (completion)
        m_store.await(evaluation, page, std::move(completion));
    if (WebInspectorConnection* link = connection(page.deviceID))
        link->evaluate(expression, page, evaluation, awaitPromise);
    return evaluation;
}

bool ConsoleHub::canEvaluate(const std::optional<PageKey>& page) const {
    if (!isCapturing() || !page)
        return false;
    const QHash<PageKey, InspectorPage> pages = m_inventory.pages();
    const auto it = pages.constFind(*page);
    return it != pages.cend() && !it->claimedElsewhere;
}

void ConsoleHub::expand(const QString& objectID, const PageKey& page,
                        std::function<void(QList<PropertyNode>)> completion) {
    const ObjectKey key{page, objectID};
    if (std::optional<QList<PropertyNode>> cached = m_store.cachedProperties(key)) {
        completion(std::move(*cached));
        return;
    }
    WebInspectorConnection* link = connection(page.deviceID);
    if (!link) {
        completion({});
        return;
    }
    QPointer<ConsoleHub> self(this);
    link->properties(objectID, page,
                     [self, link, key, completion = std::move(completion)](QList<PropertyNode> nodes) {
                         if (!self)
                             return;
                         if (self->connection(key.page.deviceID) == link) // not for a dropped device
                             self->m_store.remember(key, nodes);
                         completion(std::move(nodes));
                     });
}
