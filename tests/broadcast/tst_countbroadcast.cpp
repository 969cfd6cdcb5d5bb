// The count broadcast on a private session bus, heard the way other processes hear it: on a
// connection of its own, with requests sent from that connection and from another program.
// The test starts its own bus: run directly, it starts again under dbus-run-session.
#include "console/ConsoleHub.h"
#include "broadcast/CountBroadcast.h"
#include "broadcast/DistributedNotifications.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDeadlineTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString kPhone = u"11111111-1111-1111-1111-111111111111"_s;
const QString kPad = u"22222222-2222-2222-2222-222222222222"_s;
const QString kWatch = u"33333333-3333-3333-3333-333333333333"_s;
const QString kPath = u"/com/norvik/tavolin"_s;
const QString kInterface = u"com.norvik.tavolin"_s;

using Counts = QList<CountBroadcast::DeviceCount>;
using Posts = QStringList;

// A hub whose device list the test sets; no device gets a connection.
class ScriptedHub {
public:
    ScriptedHub() {
        ConsoleHub::Discovery discovery;
        discovery.simulators = [this] {
            std::lock_guard guard(m_lock);
            return m_devices;
        };
        hub = std::make_unique<ConsoleHub>(std::move(discovery));
    }

    // Lists these devices, as udid and name, and waits for the hub to take them in.
    bool list(const QList<std::pair<QString, QString>>& devices) {
        {
            std::lock_guard guard(m_lock);
            m_devices.clear();
            for (const auto& [udid, name] : devices)
                m_devices.append({udid, name, u"iOS 17.5"_s, InspectableDevice::Kind::simulator, {}});
        }
        QSignalSpy finished(hub.get(), &ConsoleHub::scanFinished);
        hub->rescanDevices();
        return finished.wait(10000);
    }

    void log(const QString& udid, ConsoleLevel level = ConsoleLevel::log) {
        ConsoleEntry entry;
        entry.page = PageKey{udid, u"PID:42"_s, 1};
        entry.level = level;
        entry.source = u"console-api"_s;
        entry.text = u"hello"_s;
        entry.receivedAt = QDateTime::currentDateTimeUtc();
        hub->append(std::move(entry));
    }

    std::unique_ptr<ConsoleHub> hub;

private:
    std::mutex m_lock;
    QList<InspectableDevice> m_devices;
};

// One post as text: "<first four of the udid> <name> <count>/<problems>" per device, joined by " | ".
QString text(const Counts& counts) {
    QStringList devices;
    for (const CountBroadcast::DeviceCount& device : counts)
        devices.append(
            u"%1 %2 %3/%4"_s.arg(device.udid.left(4), device.name).arg(device.count).arg(device.problems));
    return devices.join(u" | "_s);
}

// Another client of the session bus: hears every post of the counts and can ask for them.
class Listener : public QObject {
    Q_OBJECT

public:
    Listener() : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"listener"_s)) {
        m_bus.connect({}, kPath, kInterface, u"counts"_s, this, SLOT(heard(QDBusMessage)));
        m_bus.connect({}, u"/test"_s, u"org.tavolin.test"_s, u"barrier"_s, this, SLOT(barrier(QDBusMessage)));
    }
    ~Listener() override { QDBusConnection::disconnectFromBus(u"listener"_s); }

    bool isConnected() const { return m_bus.isConnected(); }

    // The posts heard since the last call, as text. Waits until a marker sent after them on the program's
    // own connection has come through, so that a post that was made cannot still be on its way.
    QStringList take() {
        const QString token = QUuid::createUuid().toString();
        QDBusMessage marker = QDBusMessage::createSignal(u"/test"_s, u"org.tavolin.test"_s, u"barrier"_s);
        marker << token;
        if (!QDBusConnection::sessionBus().send(marker))
            return {u"marker not sent"_s};
        const QDeadlineTimer deadline(10000);
        while (!m_markers.contains(token) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (!m_markers.contains(token))
            return {u"marker lost"_s};
        QStringList posts;
        for (const QDBusMessage& message : std::exchange(m_posts, {}))
            posts.append(parse(message));
        return posts;
    }

    // Asks for the counts from this connection, with arguments that mean nothing.
    bool request() {
        QDBusMessage message = QDBusMessage::createSignal(kPath, kInterface, u"wantsCounts"_s);
        message << u"ignored"_s << 7;
        return m_bus.send(message);
    }

private slots:
    void heard(const QDBusMessage& message) { m_posts.append(message); }
    void barrier(const QDBusMessage& message) { m_markers.append(message.arguments().value(0).toString()); }

private:
    // The payload as other programs see it: aa{sv} with exactly these keys, the counts as 64-bit integers.
    static QString parse(const QDBusMessage& message) {
        if (message.signature() != u"aa{sv}"_s || message.path() != kPath)
            return u"malformed: %1 on %2"_s.arg(message.signature(), message.path());
        const auto records = qdbus_cast<QList<QVariantMap>>(message.arguments().value(0));
        Counts counts;
        for (const QVariantMap& record : records) {
            const QVariant udid = record.value(u"udid"_s);
            const QVariant name = record.value(u"name"_s);
            const QVariant count = record.value(u"count"_s);
            const QVariant problems = record.value(u"problems"_s);
            if (record.size() != 4 || udid.typeId() != QMetaType::QString ||
                name.typeId() != QMetaType::QString || count.typeId() != QMetaType::LongLong ||
                problems.typeId() != QMetaType::LongLong)
                return u"malformed record: "_s + QStringList(record.keys()).join(u',');
            counts.append({udid.toString(), name.toString(), count.toLongLong(), problems.toLongLong()});
        }
        return text(counts);
    }

    QDBusConnection m_bus;
    QList<QDBusMessage> m_posts;
    QStringList m_markers;
};

// Counts the requests that reach this program, so that a test knows its request has arrived.
class RequestProbe {
public:
    RequestProbe() {
        m_notifications.observe(QString::fromLatin1(CountBroadcast::requestName), [this] { ++m_heard; });
    }
    int heard() const { return m_heard; }

private:
    DistributedNotifications m_notifications;
    int m_heard = 0;
};

// The scenario of a child process started with no usable bus: everything must go on quietly.
int runWithoutBus(int argc, char** argv, const QByteArray& mode) {
    QCoreApplication app(argc, argv);
    QProcess daemon;
    if (mode == "vanishing") {
        // A bus that is there at first and then goes away.
        daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s});
        if (!daemon.waitForStarted() || !daemon.waitForReadyRead(10000))
            return 2;
        qputenv("DBUS_SESSION_BUS_ADDRESS", daemon.readLine().trimmed());
    }
    DistributedNotifications notifications;
    if (notifications.isAvailable() != (mode == "vanishing"))
        return 3;
    ScriptedHub scripted;
    if (!scripted.list({{kPhone, u"iPhone 15"_s}}))
        return 4;
    CountBroadcast broadcast;
    broadcast.listen(scripted.hub.get());
    broadcast.publish(*scripted.hub);
    if (mode == "vanishing") {
        daemon.kill();
        daemon.waitForFinished();
        const QDeadlineTimer deadline(10000);
        while (notifications.isAvailable() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (notifications.isAvailable())
            return 5;
    }
    scripted.log(kPhone, ConsoleLevel::error);
    broadcast.publish(*scripted.hub);
    if (text(broadcast.last()) != u"1111 iPhone 15 1/1"_s)
        return 6;
    if (notifications.post(QString::fromLatin1(CountBroadcast::countsName), {}) ||
        notifications.observe(QString::fromLatin1(CountBroadcast::requestName), [] {}))
        return 7;
    std::puts("quiet without a bus");
    return 0;
}

// Starts this program again with a private session bus of its own, which goes away with it.
int restartOnPrivateBus(int argc, char** argv) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::perror("readlink /proc/self/exe");
        return 1;
    }
    self[length] = '\0';
    setenv("TAVOLIN_TEST_BUS", "private", 1);
    std::vector<char*> args{const_cast<char*>("dbus-run-session"), const_cast<char*>("--"), self};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::perror("dbus-run-session");
    return 1;
}

} // namespace

class CountBroadcastTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "no private session bus");
        qDBusRegisterMetaType<QList<QVariantMap>>();
    }

    // One post per change of the counts: the first publish, each new count, several changes between
    // two publishes, marking a device seen; none when nothing changed.
    void postsOncePerChange() {
        Listener listener;
        QVERIFY(listener.isConnected());
        ScriptedHub scripted;
        QVERIFY(scripted.list({{kPhone, u"iPhone 15"_s}, {kPad, u"iPad"_s}}));
        CountBroadcast broadcast;

        broadcast.publish(*scripted.hub);
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{u"1111 iPhone 15 0/0 | 2222 iPad 0/0"_s});

        scripted.log(kPhone);
        broadcast.publish(*scripted.hub);
        scripted.log(kPad, ConsoleLevel::warning);
        scripted.log(kPad, ConsoleLevel::error);
        scripted.log(kPad, ConsoleLevel::info);
        broadcast.publish(*scripted.hub);
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(),
                 (Posts{u"1111 iPhone 15 1/0 | 2222 iPad 0/0"_s, u"1111 iPhone 15 1/0 | 2222 iPad 3/2"_s}));

        // Only the problems change: still a change.
        scripted.hub->markSeen(kPad);
        scripted.log(kPad);
        scripted.log(kPad);
        scripted.log(kPad);
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{u"1111 iPhone 15 1/0 | 2222 iPad 3/0"_s});

        scripted.hub->markSeen(kPhone);
        scripted.hub->markSeen(kPad);
        broadcast.publish(*scripted.hub);
        scripted.hub->markSeen(kPad);
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{u"1111 iPhone 15 0/0 | 2222 iPad 0/0"_s});
        QCOMPARE(text(broadcast.last()), u"1111 iPhone 15 0/0 | 2222 iPad 0/0"_s);
    }

    // Devices coming, going and being renamed.
    void followsTheDeviceList() {
        Listener listener;
        ScriptedHub scripted;
        CountBroadcast broadcast;

        // Nothing posted yet and nothing listed: the same empty list.
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{});

        QVERIFY(scripted.list({{kPhone, u"iPhone 15"_s}}));
        scripted.log(kPhone);
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{u"1111 iPhone 15 1/0"_s});

        // A new device with nothing to count lengthens the list.
        QVERIFY(scripted.list({{kPhone, u"iPhone 15"_s}, {kWatch, u"iPhone SE"_s}}));
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{u"1111 iPhone 15 1/0 | 3333 iPhone SE 0/0"_s});

        // A new name alone is not posted; it goes out with the next change of the counts.
        QVERIFY(scripted.list({{kPhone, u"Work phone"_s}, {kWatch, u"iPhone SE"_s}}));
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{});
        scripted.log(kWatch);
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{u"1111 Work phone 1/0 | 3333 iPhone SE 1/0"_s});

        // Another device in the same place with the same counts is a change.
        QVERIFY(scripted.list({{kPhone, u"Work phone"_s}, {kPad, u"iPad"_s}}));
        scripted.log(kPad);
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{u"1111 Work phone 1/0 | 2222 iPad 1/0"_s});

        // The last device gone: the empty list is posted once.
        QVERIFY(scripted.list({}));
        broadcast.publish(*scripted.hub);
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{QString()});
    }

    // Every request is answered with one post of the current counts, whoever sends it, whatever it
    // carries, even when nothing changed and even when there is no device.
    void answersRequests() {
        Listener listener;
        RequestProbe probe;
        ScriptedHub scripted;
        QVERIFY(scripted.list({{kPhone, u"iPhone 15"_s}}));
        scripted.log(kPhone, ConsoleLevel::error);
        CountBroadcast broadcast;
        broadcast.listen(scripted.hub.get());
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{u"1111 iPhone 15 1/1"_s});

        QVERIFY(listener.request());
        QTRY_COMPARE(probe.heard(), 1);
        QCOMPARE(listener.take(), Posts{u"1111 iPhone 15 1/1"_s});

        // From another program, on another object path.
        QProcess sender;
        sender.start(u"dbus-send"_s, {u"--session"_s, u"--type=signal"_s, u"/elsewhere"_s,
                                      u"com.norvik.tavolin.wantsCounts"_s, u"string:whatever"_s});
        QVERIFY2(sender.waitForFinished(10000) && sender.exitCode() == 0, sender.readAllStandardError());
        QTRY_COMPARE(probe.heard(), 2);
        QCOMPARE(listener.take(), Posts{u"1111 iPhone 15 1/1"_s});

        // An answer is a post like any other: publishing the same counts afterwards adds nothing.
        broadcast.publish(*scripted.hub);
        QCOMPARE(listener.take(), Posts{});

        // Listening again follows the new hub and still answers once, with no device too.
        ScriptedHub empty;
        broadcast.listen(empty.hub.get());
        QVERIFY(listener.request());
        QTRY_COMPARE(probe.heard(), 3);
        QCOMPARE(listener.take(), Posts{QString()});

        // Once the hub is gone there is nothing to answer with.
        empty.hub.reset();
        QVERIFY(listener.request());
        QTRY_COMPARE(probe.heard(), 4);
        QCOMPARE(listener.take(), Posts{});
    }

    // With no session bus, or one that goes away, the broadcast does nothing and the program goes on.
    void withoutSessionBus_data() {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<bool>("bogusAddress");
        QTest::newRow("no address") << QByteArray("none") << false;
        QTest::newRow("address of nothing") << QByteArray("none") << true;
        QTest::newRow("bus goes away") << QByteArray("vanishing") << false;
    }

    void withoutSessionBus() {
        QFETCH(QByteArray, mode);
        QFETCH(bool, bogusAddress);
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
        environment.remove(u"DISPLAY"_s);
        environment.remove(u"WAYLAND_DISPLAY"_s);
        environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        environment.insert(u"TAVOLIN_TEST_BUS"_s, QString::fromLatin1(mode));
        if (bogusAddress)
            environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + runtime.filePath(u"bus"_s));
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(child.readAllStandardOutput().trimmed(), QByteArray("quiet without a bus"));
    }
};

int main(int argc, char** argv) {
    const QByteArray bus = qgetenv("TAVOLIN_TEST_BUS");
    if (bus.isEmpty())
        return restartOnPrivateBus(argc, argv);
    if (bus != "private")
        return runWithoutBus(argc, argv, bus);
    QCoreApplication app(argc, argv);
    CountBroadcastTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_countbroadcast.moc"
