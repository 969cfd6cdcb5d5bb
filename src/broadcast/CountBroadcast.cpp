#include "broadcast/CountBroadcast.h"

#include "base/Logging.h"
#include "broadcast/DistributedNotifications.h"
#include "console/ConsoleHub.h"

#include <QVariantMap>

#include <algorithm>

namespace {

// Names are left out on purpose: renaming a device is not worth a post of its own.
bool sameCounts(const QList<CountBroadcast::DeviceCount>& a, const QList<CountBroadcast::DeviceCount>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.udid == y.udid && x.count == y.count && x.problems == y.problems;
    });
}

} // namespace

CountBroadcast::CountBroadcast(QObject* parent)
    : QObject(parent), m_notifications(new DistributedNotifications(this)) {}

QList<CountBroadcast::DeviceCount> CountBroadcast::counts(const ConsoleHub& hub) {
    const QHash<QString, qint64> unseen = hub.unseen();
    const QHash<QString, qint64> problems = hub.unseenProblems();
    QList<DeviceCount> list;
    for (const InspectableDevice& device : hub.devices())
        list.append({device.udid, device.name, unseen.value(device.udid), problems.value(device.udid)});
    return list;
}

void CountBroadcast::listen(ConsoleHub* hub) {
    m_hub = hub;
    if (m_listening)
        return;
    m_listening = m_notifications->observe(QString::fromLatin1(kRequestName), [this] { answerRequest(); });
    if (!m_listening)
        qCWarning(lcBroadcast) << "cannot listen for requests of the counts: no session bus";
}

void CountBroadcast::publish(const ConsoleHub& hub) {
    QList<DeviceCount> current = counts(hub);
    if (sameCounts(current, m_last))
        return;
    post(std::move(current));
}

void CountBroadcast::answerRequest() {
    // Always answered, even with no devices: whoever asks learns that the list is empty rather than
    // waiting for a post that would never come.
    if (m_hub)
        post(counts(*m_hub));
    else
        qCDebug(lcBroadcast) << "a request of the counts goes unanswered: the hub is gone";
}

void CountBroadcast::post(QList<DeviceCount> counts) {
    m_last = std::move(counts);
    QList<QVariantMap> records;
    records.reserve(m_last.size());
    for (const DeviceCount& device : std::as_const(m_last))
        records.append({{QStringLiteral("udid"), device.udid},
                        {QStringLiteral("name"), device.name},
                        {QStringLiteral("count"), device.count},
                        {QStringLiteral("problems"), device.problems}});
    const bool sent = m_notifications->post(QString::fromLatin1(kCountsName), records);
    qCDebug(lcBroadcast) << "counts of" << records.size() << "devices" << (sent ? "posted" : "not sent");
}
