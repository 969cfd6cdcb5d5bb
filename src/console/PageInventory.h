#pragma once

#include "inspector/AppKey.h"
#include "inspector/InspectorApp.h"
#include "inspector/InspectorPage.h"
#include "inspector/PageKey.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

// The applications and pages the connections report, per device, and the ways readers find them:
// sorted lists, an application by name, a page again after its identity changed.
//
// Lives on the main thread. appsChanged and pagesChanged fire only when the value really changed;
// revisionChanged fires on every report.
class PageInventory : public QObject {
    Q_OBJECT

public:
    // A description of a page that finds it again after its identity changed.
    struct PageMark {
        QString deviceID;
        QString appName;
        QString name;
        QString url;
        friend bool operator==(const PageMark&, const PageMark&) = default;
    };

    using QObject::QObject;

    QHash<AppKey, InspectorApp> apps() const { return m_apps; }
    QHash<PageKey, InspectorPage> pages() const { return m_pages; }
    // Counts the reports of applications and pages.
    qint64 revision() const { return m_revision; }

    // A device's applications that have pages, by name in code-point order, equal names by pid.
    QList<InspectorApp> apps(const QString& deviceID) const;
    // A device's pages by application name, then by short label in code-point order.
    QList<InspectorPage> pages(const QString& deviceID) const;
    // An application's pages in the standard order of their titles.
    QList<InspectorPage> pages(const AppKey& app) const;
    std::optional<AppKey> app(const QString& name, const QString& deviceID) const;
    std::optional<PageMark> mark(const PageKey& page) const;
    // The page with the mark's URL, else with its name, else the only one with its URL's stem.
    std::optional<PageKey> page(const PageMark& mark) const;

    // What a device's connection reports: all of its applications, or all of its pages.
    void replaceApps(const QString& deviceID, QList<InspectorApp> apps);
    void replacePages(const QString& deviceID, QList<InspectorPage> pages);
    // Forgets everything of a device.
    void drop(const QString& deviceID);

    // Host and path of a URL, so that scheme, port, query and fragment do not count.
    static QString stem(const QString& url);

signals:
    void appsChanged();
    void pagesChanged();
    void revisionChanged();

private:
    QHash<AppKey, InspectorApp> m_apps;
    QHash<PageKey, InspectorPage> m_pages;
    qint64 m_revision = 0;
};
