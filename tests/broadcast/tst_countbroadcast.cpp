// The count broadcast on a private session bus (CTest runs it under dbus-run-session), heard the way
// other processes hear it: through the bus.
#include "broadcast/CountBroadcast.h"
#include "broadcast/DistributedNotifications.h"
#include "console/ConsoleHub.h"
#include "support/ScriptedDiscovery.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QProcess>
#include <QTest>
#include <QUuid>

using namespace Qt::StringLiterals;

namespace {

const QString kPhone = u"11111111-1111-1111-1111-111111111111"_s;
const QString kPad = u"22222222-2222-2222-2222-222222222222"_s;
const QString kWatch = u"33333333-3333-3333-3333-333333333333"_s;

// Asks for the counts from another program, on another object path, with an argument that means nothing.
bool request() {
    return QProcess::execute(u"dbus-send"_s, {u"--session"_s, u"--type=signal"_s, u"/elsewhere"_s,
                                              u"com.norvik.tavolin.wantsCounts"_s, u"string:whatever"_s}) ==
           0;
}

} // namespace

class TestCountBroadcast : public QObject {
    Q_OBJECT

    ScriptedDiscovery script;
    std::unique_ptr<ConsoleHub> hub = std::make_unique<ConsoleHub>(script.discovery());
    QStringList m_heard;

    // Lists these devices, as udid and name, and waits for the hub to take them in.
    bool list(const QList<std::pair<QString, QString>>& devices) {
        script.simulators.clear(); // no scan runs now
        for (const auto& [udid, name] : devices)
            script.simulators.append(ScriptedDiscovery::simulator(udid, name, std::nullopt));
        return ScriptedDiscovery::scan(*hub);
    }

    void log(const QString& udid, ConsoleLevel level = ConsoleLevel::log) {
        hub->append(ConsoleEntry{.page = {udid, u"PID:42"_s, 1}, .level = level});
    }

    // The posts heard since the last call. Each of two markers sent by this program is heard only once
    // all it had heard before has been answered and all it had posted has come through.
    QStringList take() {
        for (int round = 0; round < 2; ++round) {
            const QString marker = QUuid::createUuid().toString();
            QDBusConnection::sessionBus().send(
                QDBusMessage::createSignal(u"/t"_s, u"org.tavolin.test"_s, u"marker"_s) << marker);
            (void)QTest::qWaitFor([&] { return m_heard.removeOne(marker); }, 10000);
        }
        return std::exchange(m_heard, {});
    }

public slots:
    // A post as other programs read it, "<udid's first four> <name> <count>/<problems>" per device:
    // aa{sv} with exactly these keys, the counts as 64-bit integers ("?" for a value of another type).
    void heard(const QDBusMessage& message) {
        QStringList devices;
        for (const QVariantMap& record : qdbus_cast<QList<QVariantMap>>(message.arguments().value(0))) {
            const auto field = [&](const QString& key, int type) {
                return record.value(key).typeId() == type ? record.value(key).toString() : u"?"_s;
            };
            devices << field(u"udid"_s, QMetaType::QString).left(4) + u' ' +
                           field(u"name"_s, QMetaType::QString) + u' ' +
                           field(u"count"_s, QMetaType::LongLong) + u'/' +
                           field(u"problems"_s, QMetaType::LongLong) + (record.size() == 4 ? u""_s : u" +"_s);
        }
        m_heard << (message.signature() == u"aa{sv}"_s ? devices.join(u" | "_s)
                                                       : message.arguments().value(0).toString());
    }

private slots:
    void initTestCase() {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "no private session bus");
        qDBusRegisterMetaType<QList<QVariantMap>>();
        for (const QString& name : {u"com.norvik.tavolin.counts"_s, u"org.tavolin.test.marker"_s})
            QDBusConnection::sessionBus().connect({}, {}, DistributedNotifications::interfaceName(name),
                                                  DistributedNotifications::memberName(name), this,
                                                  SLOT(heard(QDBusMessage)));
    }

    // One post per change of the counts or of the devices; none when nothing changed, nor for a new
    // name alone. Every request is answered with the current counts, even when nothing changed and
    // when there is no device; once the hub is gone, none is.
    void postsAndAnswers() {
        CountBroadcast broadcast;
        broadcast.listen(hub.get());
        broadcast.publish(*hub); // nothing posted yet and nothing listed: the same empty list
        QVERIFY(list({{kPhone, u"iPhone 15"_s}, {kPad, u"iPad"_s}}));
        broadcast.publish(*hub);
        log(kPhone);
        log(kPad, ConsoleLevel::warning);
        log(kPad, ConsoleLevel::error);
        broadcast.publish(*hub);
        broadcast.publish(*hub);
        hub->markSeen(kPad); // only the problems change: still a change
        log(kPad);
        log(kPad);
        broadcast.publish(*hub);
        QCOMPARE(take(), (QStringList{u"1111 iPhone 15 0/0 | 2222 iPad 0/0"_s,
                                      u"1111 iPhone 15 1/0 | 2222 iPad 2/2"_s,
                                      u"1111 iPhone 15 1/0 | 2222 iPad 2/0"_s}));

        QVERIFY(list({{kPhone, u"Work phone"_s}, {kPad, u"iPad"_s}}));
        broadcast.publish(*hub);
        // Another device in the same place with the same counts is a change; the new name goes with it.
        QVERIFY(list({{kPhone, u"Work phone"_s}, {kWatch, u"iPhone SE"_s}}));
        log(kWatch);
        log(kWatch);
        broadcast.publish(*hub);
        QVERIFY(request());
        QCOMPARE(take(), QStringList(2, u"1111 Work phone 1/0 | 3333 iPhone SE 2/0"_s));

        // An answer is a post like any other: publishing the same counts after it posts nothing.
        QVERIFY(list({}));
        QVERIFY(request());
        QCOMPARE(take(), QStringList{QString()});
        broadcast.publish(*hub);
        hub.reset();
        QVERIFY(request());
        QCOMPARE(take(), QStringList{});
    }
};

QTEST_GUILESS_MAIN(TestCountBroadcast)
#include "tst_countbroadcast.moc"
