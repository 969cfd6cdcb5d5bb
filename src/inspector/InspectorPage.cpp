#include "inspector/InspectorPage.h"

#include <QUrl>

QString InspectorPage::displayTitle() const {
    if (!overrideName.isEmpty())
        return overrideName;
    if (!title.isEmpty())
        return title;
    return shortLabel();
}

QString InspectorPage::shortLabel() const {
    const QUrl parsed(url, QUrl::StrictMode);
    if (parsed.isValid() && !url.isEmpty()) {
        if (parsed.scheme() == QLatin1String("file")) {
            const QStringList parts = parsed.path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
            if (!parts.isEmpty())
                return parts.last();
        } else if (!parsed.host().isEmpty()) {
            QString label = parsed.host();
            if (parsed.port() >= 0)
                label += QLatin1Char(':') + QString::number(parsed.port());
            const QString path = parsed.path();
            if (path != QLatin1String("/"))
                label += path;
            return label;
        }
    }
    return title.isEmpty() ? url : title;
}

QString InspectorPage::shortenedUrl() const {
    const qsizetype scheme = url.indexOf(QStringLiteral("://"));
    QString rest = scheme >= 0 ? url.mid(scheme + 3) : url;
    if (url.startsWith(QStringLiteral("file://"))) {
        const qsizetype bundle = rest.indexOf(QStringLiteral(".app/"));
        if (bundle >= 0)
            rest = rest.mid(bundle + 5);
    }
    return rest;
}

std::optional<QString> InspectorPage::secondaryTitle() const {
    if (!overrideName.isEmpty() && !title.isEmpty() && overrideName != title)
        return title;
    return std::nullopt;
}
