#include "ui/SidebarModel.h"

#include "base/Logging.h"
#include "console/ConsoleHub.h"

#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int kIconSize = 22, kIconScale = 2, kIconRadius = 5;

QString deviceSymbol(const InspectableDevice& device) {
    const bool pad = device.name.contains(QStringLiteral("ipad"), Qt::CaseInsensitive);
    if (device.kind == InspectableDevice::Kind::simulator)
        return pad ? QStringLiteral("ipad.landscape") : QStringLiteral("iphone");
    return pad ? QStringLiteral("ipad.gen2") : QStringLiteral("iphone.gen3");
}

QString pageSymbol(const QString& url) {
    if (url.startsWith(QStringLiteral("file:")))
        return QStringLiteral("doc.richtext");
    if (url.startsWith(QStringLiteral("about:")))
        return QStringLiteral("square.dashed");
    return QStringLiteral("globe");
}

} // namespace

SidebarModel::SidebarModel(ConsoleHub* hub, QObject* parent) : QAbstractListModel(parent), m_hub(hub) {
    m_rows = build();
}

int SidebarModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant SidebarModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const SidebarRow& row = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return row.title;
    case Qt::AccessibleTextRole:
        return row.accessibleText();
    case Qt::AccessibleDescriptionRole:
        return row.accessibleDescription();
    case Qt::ToolTipRole: {
        QStringList help;
        if (row.claimed)
            help << SidebarRow::claimedHelp();
        if (row.unresponsive)
            help << SidebarRow::unresponsiveHelp();
        return help.isEmpty() ? QVariant() : QVariant(help.join(QLatin1Char('\n')));
    }
    default:
        return {};
    }
}

Qt::ItemFlags SidebarModel::flags(const QModelIndex& index) const {
    if (!index.isValid() || index.row() >= m_rows.size())
        return Qt::NoItemFlags;
    // Notes are read, never selected.
    return m_rows.at(index.row()).scope ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::ItemIsEnabled;
}

int SidebarModel::rowOf(const ConsoleScope& scope) const {
    for (qsizetype i = 0; i < m_rows.size(); ++i)
        if (m_rows.at(i).scope == scope)
            return int(i);
    return -1;
}

void SidebarModel::rebuild() {
    QList<SidebarRow> rows = build();
    // The same rows with as many lines each keep their places; any other change lays them out anew.
    const bool same = std::equal(rows.cbegin(), rows.cend(), m_rows.cbegin(), m_rows.cend(),
                                 [](const SidebarRow& a, const SidebarRow& b) {
                                     return a.id == b.id && a.subtitle.isEmpty() == b.subtitle.isEmpty() &&
                                            a.thirdLine.isEmpty() == b.thirdLine.isEmpty();
                                 });
    if (!same) {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
    } else if (!rows.isEmpty()) {
        m_rows = std::move(rows);
        emit dataChanged(index(0), index(int(m_rows.size()) - 1));
    }
}

void SidebarModel::refreshCounts() {
    if (!m_hub)
        return;
    int first = -1, last = -1;
    for (int i = 0; i < m_rows.size(); ++i) {
        SidebarRow& row = m_rows[i];
        if (!row.scope)
            continue;
        const qsizetype count = m_hub->entryCount(*row.scope);
        if (count == row.count)
            continue;
        row.count = count;
        first = first < 0 ? i : first;
        last = i;
    }
    if (first >= 0)
        emit dataChanged(index(first), index(last));
}

void SidebarModel::toggle(int row) {
    if (row < 0 || row >= m_rows.size() || !m_rows.at(row).parent)
        return;
    const SidebarRow& target = m_rows.at(row);
    if (target.kind == SidebarRow::Kind::device) {
        if (!m_collapsedDevices.remove(target.deviceID))
            m_collapsedDevices.insert(target.deviceID);
    } else if (const AppKey* app = std::get_if<AppKey>(&target.scope->value())) {
        if (!m_collapsedApps.remove(*app))
            m_collapsedApps.insert(*app);
    }
    rebuild();
}

QList<SidebarRow> SidebarModel::build() {
    using Kind = SidebarRow::Kind;
    QList<SidebarRow> rows;
    if (!m_hub)
        return rows;
    const QList<InspectableDevice> devices = m_hub->devices();
    if (devices.isEmpty()) {
        rows.append({.id = QStringLiteral("n:"), .title = QStringLiteral("No booted simulators or devices")});
        return rows;
    }
    const QHash<QString, QString> trouble = m_hub->trouble();
    for (const InspectableDevice& device : devices) {
        const QList<InspectorApp> apps = m_hub->apps(device.id());
        const ConsoleScope deviceScope = ConsoleScope::device(device.id());
        const bool deviceOpen = !m_collapsedDevices.contains(device.id());
        rows.append(
            {.kind = Kind::device,
             .scope = deviceScope,
             .deviceID = device.id(),
             .id = QStringLiteral("d:") + device.id(),
             .symbol = deviceSymbol(device),
             .title = device.name,
             .subtitle = trouble.value(device.id()).isEmpty() ? device.runtime : trouble.value(device.id()),
             .parent = !apps.isEmpty(),
             .open = deviceOpen,
             .count = m_hub->entryCount(deviceScope)});
        if (!deviceOpen)
            continue;
        if (apps.isEmpty())
            rows.append({.deviceID = device.id(),
                         .id = QStringLiteral("n:") + device.id(),
                         .title = QStringLiteral("No inspectable webviews")});
        for (const InspectorApp& app : apps) {
            const QList<InspectorPage> pages = m_hub->pages(app.key);
            const ConsoleScope appScope = ConsoleScope::app(app.key);
            const bool appOpen = !m_collapsedApps.contains(app.key);
            const auto pid = app.pid();
            SidebarRow appRow{.kind = Kind::app,
                              .scope = appScope,
                              .deviceID = device.id(),
                              .id = QStringLiteral("a:") + app.key.appID + device.id(),
                              .icon = app.iconData ? roundedIcon(*app.iconData) : QImage(),
                              .title = app.name,
                              .subtitle = pid ? QStringLiteral("PID %1").arg(*pid) : QString(),
                              .parent = !pages.isEmpty(),
                              .open = appOpen,
                              .count = m_hub->entryCount(appScope)};
            if (appRow.icon.isNull())
                appRow.symbol = QStringLiteral("app.dashed");
            rows.append(std::move(appRow));
            if (!appOpen)
                continue;
            for (const InspectorPage& page : pages)
                rows.append(
                    {.kind = Kind::page,
                     .scope = ConsoleScope::page(page.key),
                     .deviceID = device.id(),
                     .id = QStringLiteral("p:%1%2%3").arg(device.id(), app.key.appID).arg(page.key.pageID),
                     .symbol = pageSymbol(page.url),
                     .title = page.displayTitle(),
                     .subtitle = page.shortenedUrl(),
                     .thirdLine = page.secondaryTitle().value_or(QString()),
                     .claimed = page.claimedElsewhere,
                     .unresponsive = page.unresponsive,
                     .count = m_hub->entryCount(page.key)});
        }
    }
    return rows;
}

// An application's icon at twice the row's size, clipped to rounded corners; null when the data is
// no image.
QImage SidebarModel::roundedIcon(const QByteArray& data) {
    const size_t key = qHash(data);
    if (const auto it = m_icons.constFind(key); it != m_icons.cend())
        return *it;
    const QImage source = QImage::fromData(data);
    QImage rounded;
    if (source.isNull()) {
        qCWarning(lcUi) << "an application icon that is no image:" << data.size() << "bytes";
    } else {
        constexpr int side = kIconSize * kIconScale;
        rounded = QImage(side, side, QImage::Format_ARGB32_Premultiplied);
        rounded.fill(Qt::transparent);
        QPainter painter(&rounded);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        QPainterPath clip;
        clip.addRoundedRect(QRectF(0, 0, side, side), kIconRadius * kIconScale, kIconRadius * kIconScale);
        painter.setClipPath(clip);
        painter.drawImage(QRect(0, 0, side, side),
                          source.scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        painter.end();
        rounded.setDevicePixelRatio(kIconScale);
    }
    m_icons.insert(key, rounded);
    return rounded;
}
