#include "inspector/ConsoleEntry.h"

#include <QUrl>

namespace {

// The last non-empty path segment, percent-decoded; empty when the URL has no such segment.
QString lastPathComponent(const QUrl& url) {
    const QString path = url.path(QUrl::FullyEncoded);
    qsizetype end = path.size();
    while (end > 0 && path.at(end - 1) == u'/')
        --end;
    if (end == 0)
        return {};
    const qsizetype start = path.lastIndexOf(u'/', end - 1) + 1;
    if (end <= start)
        return {};
    return QUrl::fromPercentEncoding(path.mid(start, end - start).toUtf8());
}

} // namespace

std::optional<QString> ConsoleEntry::location() const {
    if (url.isEmpty())
        return std::nullopt;
    QString place = url;
    const QUrl parsed(url, QUrl::StrictMode);
    if (parsed.isValid()) {
        // A URL without a file name ("https://example.com/") keeps its full text rather than
        // collapsing to an empty or meaningless location.
        if (QString name = lastPathComponent(parsed); !name.isEmpty())
            place = std::move(name);
    }
    if (line >= 1)
        place += u':' + QString::number(line);
    return place;
}
