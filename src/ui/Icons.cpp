#include "ui/Icons.h"

#include "base/Logging.h"

#include <QHash>
#include <QStandardPaths>

namespace {

// Symbol name → freedesktop icon name. Every symbol the window, the sidebar and the settings draw.
const QHash<QString, QString>& table() {
    static const QHash<QString, QString> names = {
        {QStringLiteral("gearshape"), QStringLiteral("configure")},
        {QStringLiteral("exclamationmark.triangle"), QStringLiteral("dialog-warning")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("data-warning")},
        {QStringLiteral("arrow.down.to.line"), QStringLiteral("go-bottom")},
        {QStringLiteral("trash"), QStringLiteral("edit-delete")},
        {QStringLiteral("iphone"), QStringLiteral("smartphone")},
        {QStringLiteral("iphone.gen3"), QStringLiteral("phone")},
        {QStringLiteral("ipad.landscape"), QStringLiteral("tablet")},
        {QStringLiteral("ipad.gen2"), QStringLiteral("tablet")},
        {QStringLiteral("app.dashed"), QStringLiteral("select-rectangular")},
        {QStringLiteral("doc.richtext"), QStringLiteral("view-list-text")},
        {QStringLiteral("square.dashed"), QStringLiteral("select-rectangular")},
        {QStringLiteral("globe"), QStringLiteral("globe")},
        {QStringLiteral("safari"), QStringLiteral("compass")},
        {QStringLiteral("chevron.down"), QStringLiteral("arrow-down")},
        {QStringLiteral("chevron.right"), QStringLiteral("arrow-right")},
        {QStringLiteral("doc.on.doc"), QStringLiteral("edit-copy")},
    };
    return names;
}

} // namespace

void Icons::install() {
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
        QIcon::setFallbackThemeName(QString::fromLatin1(kFallbackTheme));
    // Without a desktop telling Qt its theme, draw Breeze rather than nothing.
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QString::fromLatin1(kFallbackTheme));
    // A platform without a desktop theme (offscreen) looks only in the resources: add the system's folders.
    QStringList paths = QIcon::themeSearchPaths();
    for (const QString& dir : QStandardPaths::locateAll(
             QStandardPaths::GenericDataLocation, QStringLiteral("icons"), QStandardPaths::LocateDirectory))
        if (!paths.contains(dir))
            paths << dir;
    QIcon::setThemeSearchPaths(paths);
}

QString Icons::themeName(const QString& symbol) {
    return table().value(symbol);
}

QIcon Icons::symbol(const QString& name) {
    const QString theme = themeName(name);
    if (theme.isEmpty()) {
        qCWarning(lcUi) << "no icon for the symbol" << name;
        return {};
    }
    return QIcon::fromTheme(theme);
}
