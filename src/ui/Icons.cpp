#include "ui/Icons.h"

#include "base/Logging.h"

#include <QDir>
#include <QGuiApplication>
#include <QHash>
#include <QPalette>
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
    // Platforms without a desktop behind them (offscreen, say) look for themes in resources only.
    QStringList paths = QIcon::themeSearchPaths();
    for (const QString& data : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        const QString icons = QDir(data).filePath(QStringLiteral("icons"));
        if (!paths.contains(icons) && QDir(icons).exists())
            paths << icons;
    }
    QIcon::setThemeSearchPaths(paths);

    // Breeze's dark variant draws light symbols, for dark palettes.
    const QPalette palette = QGuiApplication::palette();
    const bool dark =
        palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
    const QString fallback =
        QString::fromLatin1(kFallbackTheme) + (dark ? QStringLiteral("-dark") : QString());
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
        QIcon::setFallbackThemeName(fallback);
    // Without a desktop telling Qt its theme, draw Breeze rather than nothing.
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(fallback);
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
