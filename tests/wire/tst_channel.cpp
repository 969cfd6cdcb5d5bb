// The framed property-list channel over a real unix socket, against the fake inspector service.
#include "support/FakeInspectorService.h"
#include "wire/PropertyList.h"
#include "wire/UnixTransport.h"
#include "wire/WIRSocket.h"

#include <QDateTime>
#include <QTest>
#include <QtEndian>

#include <csignal>
#include <mutex>
#include <thread>

namespace {

// What a socket's callbacks deliver on its read thread.
struct Recorder {
    std::mutex lock;
    QStringList selectors, closes;
    QList<QVariantMap> arguments;

    template <typename T> T read(const T& field) {
        std::lock_guard guard(lock);
        return field;
    }
};

QByteArray bodyOf(const QVariant& value) {
    return PropertyList::encodeBinary(value).value_or("?");
}

// `arrays` arrays each inside the last, as a binary or XML property list. Built by hand: libplist
// itself writes recursively.
QByteArray nestedArrays(bool binary, int arrays) {
    if (!binary)
        return "<plist>" + QByteArray("<array>").repeated(arrays) + QByteArray("</array>").repeated(arrays) +
               "</plist>";
    const auto be32 = [](qsizetype value) {
        const quint32 big = qToBigEndian(quint32(value));
        return QByteArray(reinterpret_cast<const char*>(&big), 4);
    };
    // Object i is an array holding object i + 1; references and offsets of four bytes.
    QByteArray body = "bplist00", offsets;
    for (int i = 0; i < arrays; ++i) {
        offsets += be32(body.size());
        body += i + 1 < arrays ? "\xA1" + be32(i + 1) : QByteArray("\xA0");
    }
    // The trailer: widths of offsets and references, object count, root, where the offsets start.
    const QByteArray trailer = QByteArray(6, 0) + "\x04\x04" + QByteArray(4, 0) + be32(arrays) +
                               QByteArray(12, 0) + be32(body.size());
    return body + offsets + trailer;
}

} // namespace

class TestChannel : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeInspectorService> service;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<WIRSocket> socket;

    void makeSocket(const QString& path) {
        recorder = std::make_shared<Recorder>();
        socket = WIRSocket::create(
            std::make_shared<UnixTransport>(path),
            [r = recorder](QString selector, QVariantMap argument) {
                std::lock_guard guard(r->lock);
                r->selectors << selector;
                r->arguments << argument;
            },
            [r = recorder](QString reason) {
                std::lock_guard guard(r->lock);
                r->closes << reason;
            });
    }
    void openSocket() {
        service = std::make_unique<FakeInspectorService>();
        QVERIFY(service->start());
        makeSocket(service->path());
        QVERIFY(!socket->open());
        QVERIFY(socket->isLive());
        QVERIFY(service->waitForClients(1));
    }

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void cleanup() {
        if (socket)
            socket->close();
        socket.reset();
        service.reset();
    }

    void propertyListValuesSurviveARoundTrip() {
        const QVariantMap map{
            {"text", QString::fromUtf8("h\u00e9llo \u2603")},
            {"big", qint64(1) << 40},
            {"negative", qint64(-5)},
            {"flag", true},
            {"ratio", 0.25},
            {"blob", QByteArray("\0\x01\xff", 3)},
            {"when", QDateTime::fromMSecsSinceEpoch(1700000000123, Qt::UTC)},
            {"nested", QVariantMap{{"list", QVariantList{qint64(1), QStringLiteral("x")}}}}};
        const std::optional<QByteArray> bytes = PropertyList::encodeBinary(map);
        QVERIFY(bytes && bytes->startsWith("bplist00"));
        QCOMPARE(PropertyList::decode(*bytes), std::optional<QVariant>(map));
        QCOMPARE(PropertyList::decode(*bytes)->toMap().value("flag").metaType().id(), QMetaType::Bool);

        QVERIFY(!PropertyList::decode(QByteArray("not a property list")));
        QVERIFY(!PropertyList::decode(QByteArray("bplist00\x01\x02", 10)));
        QVERIFY(!PropertyList::encodeBinary(QVariantMap{{"x", QVariant::fromValue(QPoint(1, 2))}}));
    }

    // Both ways, binary and XML bodies, and frames that are no message skipped without harm.
    void framesTravelAndMalformedOnesAreSkipped() {
        openSocket();
        socket->send(QStringLiteral("_rpc_reportIdentifier:"), {{"WIRConnectionIdentifierKey", "ABC"}});
        QTRY_COMPARE(service->received().size(), size_t(1));
        QCOMPARE(service->received()[0].argument.value("WIRConnectionIdentifierKey"), QVariant("ABC"));

        const QByteArray xml =
            PropertyList::encodeXml({{"__selector", "xml:"}, {"__argument", QVariantMap{{"t", "Café"}}}})
                .value_or("?");
        service->sendRaw(
            FakeInspectorService::frameBytes("garbage") +
            FakeInspectorService::frameBytes(bodyOf(QVariantList{"a"})) +
            FakeInspectorService::frameBytes(bodyOf(QVariantMap{{"__argument", QVariantMap()}})) +
            FakeInspectorService::frameBytes(bodyOf(QVariantMap{{"__selector", 12}})) +
            FakeInspectorService::frameBytes(bodyOf(QVariantMap{{"__selector", "a:"}})) +
            FakeInspectorService::frameBytes(
                bodyOf(QVariantMap{{"__selector", "b:"}, {"__argument", QVariantList{1}}})) +
            FakeInspectorService::frameBytes(xml) +
            FakeInspectorService::encode(QStringLiteral("c:"), {{"k", QByteArray("{}")}}));
        QTRY_COMPARE(recorder->read(recorder->selectors), (QStringList{"a:", "b:", "xml:", "c:"}));
        const QList<QVariantMap> arguments = recorder->read(recorder->arguments);
        QVERIFY(arguments[0].isEmpty() && arguments[1].isEmpty());
        QCOMPARE(arguments[2].value("t").toString(), QString::fromUtf8("Café"));
        QCOMPARE(arguments[3].value("k").toByteArray(), QByteArray("{}"));
        QVERIFY(socket->isLive());
    }

    void lengthsBoundTheStream_data() {
        QTest::addColumn<quint32>("length");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("zero") << 0u << false;
        QTest::newRow("largest") << WIRSocket::kMaxFrameLength - 1 << true;
        QTest::newRow("64 MiB") << WIRSocket::kMaxFrameLength << false;
        QTest::newRow("huge") << 0xFFFFFFFFu << false;
    }
    void lengthsBoundTheStream() {
        QFETCH(quint32, length);
        QFETCH(bool, accepted);
        openSocket();
        QByteArray header(4, Qt::Uninitialized);
        qToBigEndian(length, header.data());
        const QByteArray head = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>__selector</key>"
                                "<string>big:</string><key>__argument</key><dict><key>pad</key><string>";
        const QByteArray tail = "</string></dict></dict></plist>";
        const QByteArray body =
            accepted ? head + QByteArray(qsizetype(length) - head.size() - tail.size(), 'a') + tail
                     : QByteArray();
        std::thread writer([&] {
            service->sendRaw(FakeInspectorService::encode("before:", {}) + header + body +
                             FakeInspectorService::encode("after:", {}));
        });
        if (accepted)
            QTRY_COMPARE_WITH_TIMEOUT(recorder->read(recorder->selectors),
                                      (QStringList{"before:", "big:", "after:"}), 60000);
        else
            QTRY_COMPARE(recorder->read(recorder->closes), QStringList{"connection lost"});
        writer.join();
        QCOMPARE(socket->isLive(), accepted);
        if (!accepted)
            QCOMPARE(recorder->read(recorder->selectors), QStringList{"before:"});
    }

    // A list nested deeper than any message needs is refused before libplist, whose reader and free
    // recurse, sees it; the stream goes on with the next frame.
    void deepListsAreRefused_data() {
        QTest::addColumn<bool>("binary");
        QTest::addColumn<int>("arrays");
        for (bool binary : {true, false}) {
            for (int arrays : {64, 65, binary ? 1000000 : 200000})
                QTest::addRow("%s %d", binary ? "binary" : "xml", arrays) << binary << arrays;
        }
    }
    void deepListsAreRefused() {
        QFETCH(bool, binary);
        QFETCH(int, arrays);
        const QByteArray deep = nestedArrays(binary, arrays);
        QCOMPARE(PropertyList::decode(deep).has_value(), arrays <= 64);
        openSocket();
        // The reader keeps reading, so the write ends.
        QVERIFY(service->sendRaw(FakeInspectorService::frameBytes(deep) +
                                 FakeInspectorService::encode("after:", {})));
        QTRY_COMPARE_WITH_TIMEOUT(recorder->read(recorder->selectors), QStringList{"after:"}, 20000);
        QVERIFY(socket->isLive());
    }

    void closeReportsOnceAndSendNeedsALiveStream() {
        openSocket();
        QTest::qWait(50); // let the read thread block
        socket->close();
        socket->close();
        QTRY_COMPARE(recorder->read(recorder->closes), QStringList{"closed"});
        QTest::qWait(50);
        QCOMPARE(recorder->read(recorder->closes).size(), 1);

        // Before open nothing is written; after the stream is lost, nothing either.
        makeSocket(service->path());
        socket->send(QStringLiteral("early:"), {});
        QVERIFY(!socket->open());
        QVERIFY(service->waitForClients(2));
        service->disconnect();
        QTRY_COMPARE(recorder->read(recorder->closes), QStringList{"connection lost"});
        socket->send(QStringLiteral("late:"), {});
        QTest::qWait(100);
        QVERIFY(service->received().empty());

        // A failed open reports its error and never calls onClose.
        makeSocket(QStringLiteral("/tmp/no-such-dir/x.sock"));
        QCOMPARE(socket->open(), std::optional(WIRError::socket(ENOENT)));
        QVERIFY(!socket->isLive());
        QTest::qWait(100);
        QVERIFY(recorder->read(recorder->closes).isEmpty());
    }

    void concurrentSendersNeverInterleave() {
        openSocket();
        constexpr int kPerThread = 300;
        const QByteArray payload(20000, 'x'); // larger than one socket write
        auto sender = [&](const QString& name) {
            for (int i = 0; i < kPerThread; ++i)
                socket->send(name, {{"i", i}, {"blob", payload}});
        };
        std::thread a(sender, QStringLiteral("a:")), b(sender, QStringLiteral("b:"));
        a.join();
        b.join();
        QTRY_COMPARE_WITH_TIMEOUT(service->received().size(), size_t(2 * kPerThread), 20000);
        int next[2] = {0, 0};
        for (const auto& frame : service->received()) {
            QCOMPARE(frame.argument.value("blob").toByteArray(), payload);
            QCOMPARE(frame.argument.value("i").toInt(), next[frame.selector == QLatin1String("b:")]++);
        }
    }
};

QTEST_GUILESS_MAIN(TestChannel)
#include "tst_channel.moc"
