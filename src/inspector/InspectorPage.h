#pragma once

#include "inspector/PageKey.h"

#include <QString>

#include <optional>

// An inspectable page (a webview's document) of an application.
struct InspectorPage {
    PageKey key;
    QString title;
    QString overrideName;
    QString url;
    QString appName;
    // Another client (a browser's inspector, say) holds the page; we open no session on it.
    bool claimedElsewhere = false;
    // Requests to the page have timed out; set only on the copies that are published.
    bool unresponsive = false;

    // The override name, else the title, else shortLabel().
    QString displayTitle() const;
    // A short text for the URL: a file's name, or host[:port][path]; else the title, else the URL.
    QString shortLabel() const;
    // The URL without its scheme, and inside an application bundle only the path after ".app/":
    // the short form reports and listings show.
    QString shortenedUrl() const;
    // The title, when an override name hides it.
    std::optional<QString> secondaryTitle() const;

    friend bool operator==(const InspectorPage&, const InspectorPage&) = default;
};
