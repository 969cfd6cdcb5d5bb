#include "inspector/ServiceInventory.h"

#include "inspector/ServiceLink.h"

#include <algorithm>

namespace {

const QString kListingKey = QStringLiteral("WIRListingKey");
const QString kNameKey = QStringLiteral("WIRApplicationNameKey");
const QString kBundleKey = QStringLiteral("WIRApplicationBundleIdentifierKey");
const QString kIconKey = QStringLiteral("WIRApplicationIconKey");
const QString kTypeKey = QStringLiteral("WIRTypeKey");
const QString kTitleKey = QStringLiteral("WIRTitleKey");
const QString kOverrideNameKey = QStringLiteral("WIROverrideNameKey");
const QString kURLKey = QStringLiteral("WIRURLKey");

} // namespace

bool ServiceInventory::recordApp(const QString& appID, const QVariantMap& dictionary) {
    const auto known = m_apps.constFind(appID);
    InspectorApp app =
        known != m_apps.cend() ? *known : InspectorApp{{m_deviceID, appID}, appID, std::nullopt};
    if (const auto name = ServiceLink::string(dictionary, kNameKey))
        app.name = *name;
    else if (const auto bundle = ServiceLink::string(dictionary, kBundleKey))
        app.name = *bundle;
    if (const auto icon = ServiceLink::data(dictionary, kIconKey))
        app.iconData = *icon;
    if (known != m_apps.cend() && *known == app)
        return false;
    m_apps.insert(appID, std::move(app));
    return true;
}

std::vector<PageKey> ServiceInventory::removeApp(const QString& appID) {
    m_apps.remove(appID);
    std::vector<PageKey> removed;
    for (auto it = m_pages.begin(); it != m_pages.end();) {
        if (it.key().appID != appID) {
            ++it;
            continue;
        }
        removed.push_back(it.key());
        m_unresponsive.remove(it.key());
        it = m_pages.erase(it);
    }
    return removed;
}

ServiceInventory::Listing ServiceInventory::applyListing(const QString& appID, const QVariantMap& argument) {
    const auto app = m_apps.constFind(appID);
    const QString appName = app != m_apps.cend() ? app->name : appID;
    const QHash<PageKey, InspectorPage> before = m_pages;
    QSet<PageKey> seen;
    Listing listing;

    const QVariantMap entries = ServiceLink::map(argument, kListingKey).value_or(QVariantMap());
    for (const QVariant& value : entries) {
        if (value.metaType().id() != QMetaType::QVariantMap)
            continue;
        const QVariantMap page = value.toMap();
        const std::optional<qint64> pageID = ServiceLink::number(page, ServiceLink::kPageKey);
        if (!pageID)
            continue;
        // Only web pages: a listing also names scripts such as workers.
        if (const auto type = ServiceLink::string(page, kTypeKey);
            type && *type != QLatin1String("WIRTypeWebPage") && *type != QLatin1String("WIRTypePage"))
            continue;
        const PageKey key{m_deviceID, appID, *pageID};
        seen.insert(key);
        // The service names the client holding a page; that may be us.
        const std::optional<QString> holder = ServiceLink::string(page, ServiceLink::kConnectionKey);
        const bool claimed = holder && *holder != m_connectionID;
        m_pages.insert(key, InspectorPage{key, ServiceLink::string(page, kTitleKey).value_or(QString()),
                                          ServiceLink::string(page, kOverrideNameKey).value_or(QString()),
                                          ServiceLink::string(page, kURLKey).value_or(QString()), appName,
                                          claimed, false});
        listing.changes.push_back({key, claimed ? PageChange::Kind::claimed : PageChange::Kind::listed});
    }

    for (auto it = m_pages.begin(); it != m_pages.end();) {
        if (it.key().appID != appID || seen.contains(it.key())) {
            ++it;
            continue;
        }
        listing.changes.push_back({it.key(), PageChange::Kind::removed});
        m_unresponsive.remove(it.key());
        it = m_pages.erase(it);
    }
    listing.changed = m_pages != before;
    return listing;
}

bool ServiceInventory::isFree(const PageKey& key) const {
    const auto page = m_pages.constFind(key);
    return page != m_pages.cend() && !page->claimedElsewhere;
}

std::vector<PageKey> ServiceInventory::freePages() const {
    std::vector<PageKey> free;
    for (const InspectorPage& page : m_pages)
        if (!page.claimedElsewhere)
            free.push_back(page.key);
    return free;
}

bool ServiceInventory::markUnresponsive(const PageKey& key) {
    if (m_unresponsive.contains(key))
        return false;
    m_unresponsive.insert(key);
    return true;
}

bool ServiceInventory::markAnswering(const PageKey& key) {
    return m_unresponsive.remove(key);
}

ConnectionEvents::Apps ServiceInventory::apps() const {
    QList<InspectorApp> apps = m_apps.values();
    std::stable_sort(apps.begin(), apps.end(), [](const InspectorApp& a, const InspectorApp& b) {
        return QString::compare(a.name, b.name, Qt::CaseSensitive) < 0;
    });
    return {std::move(apps)};
}

ConnectionEvents::Pages ServiceInventory::pages() const {
    QList<InspectorPage> pages;
    pages.reserve(m_pages.size());
    for (const InspectorPage& page : m_pages) {
        pages.append(page);
        pages.last().unresponsive = m_unresponsive.contains(page.key);
    }
    // Sort on precomputed labels: shortLabel parses a URL.
    std::vector<std::pair<QString, qsizetype>> order;
    order.reserve(size_t(pages.size()));
    for (qsizetype i = 0; i < pages.size(); ++i)
        order.emplace_back(pages[i].shortLabel(), i);
    std::stable_sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
        const int byApp =
            QString::compare(pages[a.second].appName, pages[b.second].appName, Qt::CaseSensitive);
        if (byApp != 0)
            return byApp < 0;
        return QString::compare(a.first, b.first, Qt::CaseSensitive) < 0;
    });
    QList<InspectorPage> sorted;
    sorted.reserve(pages.size());
    for (const auto& [label, index] : order)
        sorted.append(std::move(pages[index]));
    return {std::move(sorted)};
}

void ServiceInventory::clear() {
    m_apps.clear();
    m_pages.clear();
    m_unresponsive.clear();
}
