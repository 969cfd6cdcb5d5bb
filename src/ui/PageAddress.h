#pragma once

#include <QString>

// The short form of a page's address that the sidebar and the window's subtitle show.
class PageAddress {
public:
    // Everything after the first "://"; for a file inside an application bundle only what follows
    // ".app/"; an address without "://" as it is.
    static QString shortAddress(const QString& url);
};
