#include "app/Diagnostics.h"

#include "app/DisplayAccess.h"
#include "base/Logging.h"
#include "console/ConsoleHub.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>
#include <QRegularExpression>
#include <QTimer>

#include <cmath>
#include <cstdlib>

namespace Diagnostics {

double seconds(const QStringList& arguments) {
    const qsizetype at = arguments.indexOf(QStringLiteral("--dump"));
    if (at < 0 || at + 1 >= arguments.size())
        return kDefaultSeconds;
    bool ok = false;
    const double value = arguments[at + 1].toDouble(&ok);
    // Only plain decimal numbers count: no "nan", "inf" or hexadecimal.
    static const QRegularExpression decimal(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)$"));
    if (!ok || !decimal.match(arguments[at + 1]).hasMatch() || !std::isfinite(value))
        return kDefaultSeconds;
    return std::max(0.0, value);
}

namespace {

// An application's icon as its width in points, or "none" when it has none that can be read.
QString iconText(const InspectorApp& app) {
    if (!app.iconData)
        return QStringLiteral("none");
    QBuffer buffer;
    buffer.setData(*app.iconData);
    const QImage image = QImageReader(&buffer).read();
    if (image.isNull())
        return QStringLiteral("none");
    return QString::number(qRound(image.width() / std::max(1.0, image.devicePixelRatio()))) +
           QStringLiteral("pt");
}

} // namespace

QString report(const ConsoleHub& hub, bool accessibilityGranted) {
    QStringList lines;
    lines << QStringLiteral("accessibility: ") +
                 (accessibilityGranted ? QStringLiteral("granted") : QStringLiteral("DENIED"));
    const QList<InspectableDevice> devices = hub.devices();
    if (devices.isEmpty())
        lines << QStringLiteral("no booted simulators");
    const QHash<QString, QString> trouble = hub.trouble();
    for (const InspectableDevice& device : devices) {
        const bool simulator = device.kind == InspectableDevice::Kind::simulator;
        lines << QStringLiteral("device %1 [%2] kind=%3 transport=%4")
                     .arg(device.name, device.runtime,
                          simulator ? QStringLiteral("simulator") : QStringLiteral("device"),
                          device.socketPath.value_or(QStringLiteral("usbmux")));
        lines << QStringLiteral("  window title: ") + device.name + QStringLiteral(" \u2014 ") +
                     device.runtime;
        if (const auto text = trouble.constFind(device.udid); text != trouble.cend())
            lines << QStringLiteral("  trouble: ") + *text;
        for (const InspectorApp& app : hub.apps(device.udid)) {
            const std::optional<qint64> pid = app.pid();
            lines << QStringLiteral("  app %1 pid=%2 icon=%3")
                         .arg(app.name, pid ? QString::number(*pid) : QStringLiteral("?"), iconText(app));
            for (const InspectorPage& page : hub.pages(app.key)) {
                lines << QStringLiteral("    ") + page.displayTitle() +
                             (page.claimedElsewhere ? QStringLiteral(" [held elsewhere]") : QString()) +
                             QStringLiteral(" \u2014 ") + QString::number(hub.entryCount(page.key)) +
                             QStringLiteral(" messages");
                lines << QStringLiteral("      ") + page.shortenedUrl();
            }
        }
        const QList<ConsoleEntry> entries = hub.entries(ConsoleScope::device(device.udid));
        for (qsizetype i = std::max<qsizetype>(0, entries.size() - kNewestMessages); i < entries.size();
             ++i) {
            const ConsoleEntry& entry = entries[i];
            QString line = QStringLiteral("    [") + rawValue(entry.level) + QLatin1Char(']');
            if (entry.repeatCount >= 2)
                line += QStringLiteral(" \u00d7") + QString::number(entry.repeatCount);
            line += QLatin1Char(' ') + entry.text + QStringLiteral(" (") +
                    entry.location().value_or(QStringLiteral("-")) + QLatin1Char(')');
            lines << line;
        }
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

int dump(double seconds) {
    qCDebug(lcApp) << "collecting for" << seconds << "s";
    ConsoleHub hub;
    // The wait counts from the first scan's result: slow tools must not leave it empty.
    QObject::connect(
        &hub, &ConsoleHub::scanFinished, &hub,
        [&hub, seconds] {
            QTimer::singleShot(std::chrono::milliseconds(qint64(seconds * 1000)), [&hub] {
                const QByteArray text = report(hub, DisplayAccess::granted()).toUtf8();
                std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        },
        Qt::SingleShotConnection);
    hub.start();
    QCoreApplication::exec();
    // Connections are not closed one by one: the process ends here.
    std::_Exit(0);
}

} // namespace Diagnostics
