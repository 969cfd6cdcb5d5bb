#pragma once

#include "inspector/ConnectionEvents.h"
#include "inspector/InspectorApp.h"
#include "inspector/InspectorPage.h"
#include "inspector/PageKey.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <vector>

// The applications and pages of one device as its inspector service reports them, and which pages
// stopped answering. Knows nothing of sessions: a listing returns what changed for each page, and
// the connection opens or ends sessions from that. Used on the connection's queue only.
class ServiceInventory {
public:
    // What a listing did to one page.
    struct PageChange {
        enum class Kind {
            listed,  // in the listing and free for us
            claimed, // in the listing, held by another client
            removed, // no longer in the listing
        };
        PageKey key;
        Kind kind;
    };
    struct Listing {
        std::vector<PageChange> changes; // in the order they happened
        bool changed = false;            // the published pages differ
    };

    ServiceInventory(QString deviceID, QString connectionID)
        : m_deviceID(std::move(deviceID)), m_connectionID(std::move(connectionID)) {}

    // Records an application from its dictionary; true when it is new or changed.
    bool recordApp(const QString& appID, const QVariantMap& dictionary);
    // Forgets an application and its pages; returns those pages.
    std::vector<PageKey> removeApp(const QString& appID);
    QStringList appIDs() const { return m_apps.keys(); }
    // Applies an application's listing of pages.
    Listing applyListing(const QString& appID, const QVariantMap& argument);

    // Listed and not held by another client.
    bool isFree(const PageKey& key) const;
    std::vector<PageKey> freePages() const;

    // Marks a page as not answering, or as answering again; true when that is a change.
    bool markUnresponsive(const PageKey& key);
    bool markAnswering(const PageKey& key);

    // The lists as published: applications by name; pages by application name, then short label.
    ConnectionEvents::Apps apps() const;
    ConnectionEvents::Pages pages() const;

    void clear();

private:
    const QString m_deviceID;
    const QString m_connectionID;
    QHash<QString, InspectorApp> m_apps;
    QHash<PageKey, InspectorPage> m_pages;
    QSet<PageKey> m_unresponsive;
};
