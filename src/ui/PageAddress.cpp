#include "ui/PageAddress.h"

QString PageAddress::shortAddress(const QString& url) {
    const qsizetype scheme = url.indexOf(QStringLiteral("://"));
    if (scheme < 0)
        return url;
    QString rest = url.mid(scheme + 3);
    if (url.startsWith(QStringLiteral("file://"))) {
        const qsizetype bundle = rest.indexOf(QStringLiteral(".app/"));
        if (bundle >= 0)
            rest = rest.mid(bundle + 5);
    }
    return rest;
}
