#include "console/PageInventory.h"

#include "base/StandardOrder.h"

#include <QCollator>
#include <QSet>
#include <QUrl>

#include <algorithm>

namespace {

// Removes every value of a device; true when there was one.
template <typename Key, typename Value> bool removeDevice(QHash<Key, Value>& map, const QString& deviceID) {
    return map.removeIf(
               [&](typename QHash<Key, Value>::iterator it) { return it.key().deviceID == deviceID; }) > 0;
}

// Sorts pages by a key computed once per page.
template <typename Label, typename Less>
QList<InspectorPage> sortedBy(QList<InspectorPage> pages, Label label, Less less) {
    QList<std::pair<QString, InspectorPage>> labelled;
    labelled.reserve(pages.size());
    for (InspectorPage& page : pages) {
        QString text = label(page);
        labelled.append({std::move(text), std::move(page)});
    }
    std::stable_sort(labelled.begin(), labelled.end(), less);
    QList<InspectorPage> result;
    result.reserve(labelled.size());
    for (auto& [text, page] : labelled)
        result.append(std::move(page));
    return result;
}

} // namespace

QList<InspectorApp> PageInventory::apps(const QString& deviceID) const {
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

QList<InspectorPage> PageInventory::pages(const QString& deviceID) const {
    QList<InspectorPage> mine;
    for (const InspectorPage& page : m_pages)
        if (page.key.deviceID == deviceID)
            mine.append(page);
    return sortedBy(
        std::move(mine), [](const InspectorPage& page) { return page.shortLabel(); },
        [](const auto& a, const auto& b) {
            const int byApp = QString::compare(a.second.appName, b.second.appName, Qt::CaseSensitive);
            if (byApp != 0)
                return byApp < 0;
            return QString::compare(a.first, b.first, Qt::CaseSensitive) < 0;
        });
}

QList<InspectorPage> PageInventory::pages(const AppKey& app) const {
    QList<InspectorPage> mine;
    for (const InspectorPage& page : m_pages)
        if (page.key.deviceID == app.deviceID && page.key.appID == app.appID)
            mine.append(page);
    const QCollator collator = StandardOrder::collator();
    return sortedBy(
        std::move(mine), [](const InspectorPage& page) { return page.displayTitle(); },
        [&](const auto& a, const auto& b) { return collator.compare(a.first, b.first) < 0; });
}

std::optional<AppKey> PageInventory::app(const QString& name, const QString& deviceID) const {
    for (const InspectorApp& app : m_apps)
        if (app.key.deviceID == deviceID && app.name == name)
            return app.key;
    return std::nullopt;
}

std::optional<PageInventory::PageMark> PageInventory::mark(const PageKey& page) const {
    const auto it = m_pages.constFind(page);
    if (it == m_pages.cend())
        return std::nullopt;
    return PageMark{page.deviceID, it->appName, it->displayTitle(), it->url};
}

std::optional<PageKey> PageInventory::page(const PageMark& mark) const {
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
            return std::nullopt; // ambiguous
        only = page->key;
    }
    return only;
}

QString PageInventory::stem(const QString& url) {
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid())
        return url;
    return parsed.host() + parsed.path();
}

void PageInventory::replaceApps(const QString& deviceID, QList<InspectorApp> apps) {
    const QHash<AppKey, InspectorApp> before = m_apps;
    removeDevice(m_apps, deviceID);
    for (InspectorApp& app : apps)
        m_apps.insert(app.key, std::move(app));
    ++m_revision;
    if (m_apps != before)
        emit appsChanged();
    emit revisionChanged();
}

void PageInventory::replacePages(const QString& deviceID, QList<InspectorPage> pages) {
    const QHash<PageKey, InspectorPage> before = m_pages;
    removeDevice(m_pages, deviceID);
    for (InspectorPage& page : pages)
        m_pages.insert(page.key, std::move(page));
    ++m_revision;
    if (m_pages != before)
        emit pagesChanged();
    emit revisionChanged();
}

void PageInventory::drop(const QString& deviceID) {
    if (removeDevice(m_apps, deviceID))
        emit appsChanged();
    if (removeDevice(m_pages, deviceID))
        emit pagesChanged();
}
