#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class ConsoleHub;
class DistributedNotifications;

// Tells the other processes of the user how many console messages each device has that nobody has seen,
// and how many of those are warnings or errors.
//
// Posts "com.norvik.tavolin.counts" when the numbers differ from the last post: one record per device of
// the hub, in the hub's order, with "udid", "name", "count" and "problems". A new name alone is not a
// difference. Answers every "com.norvik.tavolin.wantsCounts", from anyone, by posting the current numbers.
//
// There is no timer here: the numbers go out when the application brings its badges up to date and
// calls publish. Main thread only.
class CountBroadcast : public QObject {
    Q_OBJECT

public:
    static constexpr auto kCountsName = "com.norvik.tavolin.counts";
    static constexpr auto kRequestName = "com.norvik.tavolin.wantsCounts";

    struct DeviceCount {
        QString udid;
        QString name;
        qint64 count = 0;
        qint64 problems = 0;
        friend bool operator==(const DeviceCount&, const DeviceCount&) = default;
    };

    explicit CountBroadcast(QObject* parent = nullptr);

    // Starts answering requests with the counts of `hub`. The hub is not kept alive: once it is gone,
    // requests go unanswered. Listening again switches to another hub.
    void listen(ConsoleHub* hub);

    // Posts the counts of `hub` when they differ from the last post.
    void publish(const ConsoleHub& hub);

    // What was posted last; empty before the first post.
    QList<DeviceCount> last() const { return m_last; }

    // The counts of every device of the hub, in the hub's order.
    static QList<DeviceCount> counts(const ConsoleHub& hub);

private:
    void answerRequest();
    void post(QList<DeviceCount> counts);

    DistributedNotifications* m_notifications;
    QPointer<ConsoleHub> m_hub;
    QList<DeviceCount> m_last;
    bool m_listening = false;
};
