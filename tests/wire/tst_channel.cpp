// The framed property-list channel over a real unix socket, against the fake inspector service.
#include "wire/PropertyList.h"
#include "wire/UnixTransport.h"
#include "wire/WIRSocket.h"
#include "support/FakeInspectorService.h"

#include <QDateTime>
#include <QTest>
#include <QtEndian>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Collects what a socket's callbacks deliver on its read thread.
struct Recorder : std::enable_shared_from_this<Recorder> {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<QString, QVariantMap>> frames;
    std::vector<QString> closes;

    WIRSocket::FrameHandler frameHandler() {
        return [self = shared_from_this()](QString selector, QVariantMap argument) {
            std::lock_guard guard(self->lock);
            auto& frames = self->frames;
            auto& changed = self->changed;
            frames.emplace_back(std::move(selector), std::move(argument));
            changed.notify_all();
        };
    }
    WIRSocket::CloseHandler closeHandler() {
        return [self = shared_from_this()](QString reason) {
            std::lock_guard guard(self->lock);
            auto& closes = self->closes;
            auto& changed = self->changed;
            closes.push_back(std::move(reason));
            changed.notify_all();
        };
    }
    bool waitFrames(size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, timeout, [&] { return frames.size() >= count; });
    }
    std::optional<QString> waitClose(std::chrono::milliseconds timeout = 5s) {
        std::unique_lock guard(lock);
        if (!changed.wait_for(guard, timeout, [&] { return !closes.empty(); }))
            return std::nullopt;
        return closes.front();
    }
    std::vector<QString> selectors() {
        std::lock_guard guard(lock);
        std::vector<QString> names;
        for (auto& frame : frames)
            names.push_back(frame.first);
        return names;
    }
};

QByteArray xmlBody(const QString& selector) {
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<plist version=\"1.0\"><dict><key>__selector</key><string>%1</string>"
                          "<key>__argument</key><dict><key>WIRPageIdentifierKey</key><integer>7</integer>"
                          "<key>WIRTitleKey</key><string>Caf\u00e9</string></dict></dict></plist>\n")
        .arg(selector)
        .toUtf8();
}

QByteArray lengthOnly(quint32 length) {
    QByteArray header(4, Qt::Uninitialized);
    qToBigEndian(length, header.data());
    return header;
}

} // namespace

class ChannelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeInspectorService> service;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<WIRSocket> socket;

    void openSocket() {
        service = std::make_unique<FakeInspectorService>();
        QVERIFY(service->start());
        recorder = std::make_shared<Recorder>();
        socket = WIRSocket::create(std::make_shared<UnixTransport>(service->path()), recorder->frameHandler(),
                                   recorder->closeHandler());
        QVERIFY(!socket->open());
        QVERIFY(socket->isLive());
        QVERIFY(service->waitForClients(1));
    }

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void cleanup() {
        if (socket)
            socket->close();
        if (recorder)
            recorder->waitClose(2s);
        socket.reset();
        service.reset();
        recorder.reset();
    }

    void propertyListValuesSurviveARoundTrip() {
        QVariantMap nested{{QStringLiteral("n"), qint64(-5)},
                           {QStringLiteral("list"), QVariantList{1, QStringLiteral("x")}}};
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(1700000000123, Qt::UTC);
        QVariantMap map{{QStringLiteral("text"), QStringLiteral("h\u00e9llo \u2603")},
                        {QStringLiteral("page"), qint64(42)},
                        {QStringLiteral("big"), qint64(1) << 40},
                        {QStringLiteral("flag"), true},
                        {QStringLiteral("ratio"), 0.25},
                        {QStringLiteral("blob"), QByteArray("\0\x01\xff", 3)},
                        {QStringLiteral("when"), when},
                        {QStringLiteral("nested"), nested}};
        const std::optional<QByteArray> bytes = PropertyList::encodeBinary(map);
        QVERIFY(bytes);
        QVERIFY(bytes->startsWith("bplist00"));
        const std::optional<QVariant> back = PropertyList::decode(*bytes);
        QVERIFY(back);
        const QVariantMap decoded = back->toMap();
        QCOMPARE(decoded.value("page").metaType().id(), QMetaType::LongLong);
        QCOMPARE(decoded.value("flag").metaType().id(), QMetaType::Bool);
        for (const char* key : {"text", "big", "ratio", "blob", "when"})
            QCOMPARE(decoded.value(key), map.value(key));
        QCOMPARE(decoded.value("nested").toMap().value("n").toLongLong(), -5);
        QCOMPARE(decoded.value("nested").toMap().value("list").toList().size(), 2);

        QVERIFY(!PropertyList::decode(QByteArray("not a property list")));
        QVERIFY(!PropertyList::decode(QByteArray("bplist00\x01\x02", 10)));
        QVERIFY(!PropertyList::encodeBinary(
            QVariantMap{{QStringLiteral("x"), QVariant::fromValue(QPoint(1, 2))}}));
    }

    void framesTravelBothWays() {
        openSocket();
        socket->send(QStringLiteral("_rpc_reportIdentifier:"),
                     {{QStringLiteral("WIRConnectionIdentifierKey"), QStringLiteral("ABC")}});
        const auto sent = service->waitForFrame(QStringLiteral("_rpc_reportIdentifier:"));
        QVERIFY(sent);
        QCOMPARE(sent->argument.value("WIRConnectionIdentifierKey").toString(), QStringLiteral("ABC"));

        service->send(QStringLiteral("_rpc_applicationSentData:"),
                      {{QStringLiteral("WIRMessageDataKey"), QByteArray("{\"method\":\"x\"}")}});
        QVERIFY(recorder->waitFrames(1));
        QCOMPARE(recorder->frames[0].first, QStringLiteral("_rpc_applicationSentData:"));
        QCOMPARE(recorder->frames[0].second.value("WIRMessageDataKey").toByteArray(),
                 QByteArray("{\"method\":\"x\"}"));
    }

    void xmlBodiesDecodeLikeBinaryOnes() {
        openSocket();
        service->sendRaw(FakeInspectorService::frameBytes(xmlBody(QStringLiteral("_rpc_fromXML:"))));
        QVERIFY(recorder->waitFrames(1));
        QCOMPARE(recorder->frames[0].first, QStringLiteral("_rpc_fromXML:"));
        QCOMPARE(recorder->frames[0].second.value("WIRPageIdentifierKey").toLongLong(), 7);
        QCOMPARE(recorder->frames[0].second.value("WIRTitleKey").toString(), QString::fromUtf8("Café"));
    }

    void malformedFramesAreSkippedAndTheStreamGoesOn() {
        openSocket();
        const auto array = PropertyList::encodeBinary(QVariant(QVariantList{QStringLiteral("a")}));
        const auto noSelector =
            PropertyList::encodeBinary(QVariantMap{{QStringLiteral("__argument"), QVariantMap()}});
        const auto numericSelector =
            PropertyList::encodeBinary(QVariantMap{{QStringLiteral("__selector"), 12}});
        const auto noArgument =
            PropertyList::encodeBinary(QVariantMap{{QStringLiteral("__selector"), QStringLiteral("a:")}});
        const auto listArgument =
            PropertyList::encodeBinary(QVariantMap{{QStringLiteral("__selector"), QStringLiteral("b:")},
                                                   {QStringLiteral("__argument"), QVariantList{1}}});
        QByteArray stream;
        stream += FakeInspectorService::frameBytes("garbage that is no property list");
        stream += FakeInspectorService::frameBytes(*array);
        stream += FakeInspectorService::frameBytes(*noSelector);
        stream += FakeInspectorService::frameBytes(*numericSelector);
        stream += FakeInspectorService::frameBytes(*noArgument);
        stream += FakeInspectorService::frameBytes(*listArgument);
        stream += FakeInspectorService::encode(QStringLiteral("c:"), {{QStringLiteral("k"), 1}});
        service->sendRaw(stream);
        QVERIFY(recorder->waitFrames(3));
        QCOMPARE(recorder->selectors(), (std::vector<QString>{"a:", "b:", "c:"}));
        QVERIFY(recorder->frames[0].second.isEmpty());
        QVERIFY(recorder->frames[1].second.isEmpty());
        QCOMPARE(recorder->frames[2].second.value("k").toLongLong(), 1);
        QVERIFY(socket->isLive());
    }

    void badLengthsBreakTheStream_data() {
        QTest::addColumn<quint32>("length");
        QTest::newRow("zero") << 0u;
        QTest::newRow("64 MiB") << (1u << 26);
        QTest::newRow("huge") << 0xFFFFFFFFu;
    }
    void badLengthsBreakTheStream() {
        QFETCH(quint32, length);
        openSocket();
        service->sendRaw(FakeInspectorService::encode(QStringLiteral("before:"), {}) + lengthOnly(length) +
                         FakeInspectorService::encode(QStringLiteral("after:"), {}));
        QCOMPARE(recorder->waitClose(), std::optional<QString>(QStringLiteral("connection lost")));
        QCOMPARE(recorder->selectors(), std::vector<QString>{"before:"});
        QVERIFY(!socket->isLive());
    }

    void theLargestFrameIsAccepted() {
        openSocket();
        const quint32 length = (1u << 26) - 1;
        const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                "<key>__selector</key><string>big:</string><key>__argument</key><dict>"
                                "<key>pad</key><string>";
        const QByteArray tail = "</string></dict></dict></plist>";
        QByteArray body = head + QByteArray(qsizetype(length) - head.size() - tail.size(), 'a') + tail;
        QCOMPARE(body.size(), qsizetype(length));
        std::thread writer([&] {
            service->sendRaw(FakeInspectorService::frameBytes(body) +
                             FakeInspectorService::encode("next:", {}));
        });
        QVERIFY(recorder->waitFrames(2, 60s));
        writer.join();
        QCOMPARE(recorder->selectors(), (std::vector<QString>{"big:", "next:"}));
        QCOMPARE(recorder->frames[0].second.value("pad").toString().size(),
                 length - head.size() - tail.size());
    }

    void sendWritesNothingUnlessLive() {
        service = std::make_unique<FakeInspectorService>();
        QVERIFY(service->start());
        recorder = std::make_shared<Recorder>();
        auto transport = std::make_shared<UnixTransport>(service->path());
        socket = WIRSocket::create(transport, recorder->frameHandler(), recorder->closeHandler());
        socket->send(QStringLiteral("early:"), {}); // before open: no stream yet, must not crash
        QVERIFY(!socket->open());
        QVERIFY(service->waitForClients(1));
        service->disconnect();
        QCOMPARE(recorder->waitClose(), std::optional<QString>(QStringLiteral("connection lost")));
        socket->send(QStringLiteral("late:"), {});
        QTest::qWait(100);
        QVERIFY(service->received().empty());
    }

    void closeWakesABlockedReadAndReportsClosed() {
        openSocket();
        QTest::qWait(50); // let the read thread block
        socket->close();
        QCOMPARE(recorder->waitClose(), std::optional<QString>(QStringLiteral("closed")));
        socket->close();
        QTest::qWait(50);
        std::lock_guard guard(recorder->lock);
        QCOMPARE(recorder->closes.size(), size_t(1));
    }

    void aFailedOpenNeverCallsOnClose() {
        recorder = std::make_shared<Recorder>();
        socket = WIRSocket::create(std::make_shared<UnixTransport>(QStringLiteral("/tmp/no-such-dir/x.sock")),
                                   recorder->frameHandler(), recorder->closeHandler());
        const auto error = socket->open();
        QVERIFY(error);
        QCOMPARE(error->kind(), WIRError::Kind::socket);
        QVERIFY(!socket->isLive());
        QVERIFY(!recorder->waitClose(200ms));
    }

    void concurrentSendersNeverInterleave() {
        openSocket();
        const int perThread = 300;
        const QByteArray payload(20000, 'x'); // larger than one socket write
        auto sender = [&](const QString& name) {
            for (int i = 0; i < perThread; ++i)
                socket->send(name, {{QStringLiteral("i"), i}, {QStringLiteral("blob"), payload}});
        };
        std::thread a(sender, QStringLiteral("a:")), b(sender, QStringLiteral("b:"));
        a.join();
        b.join();
        QVERIFY(service->waitForCount(2 * perThread, 20s));
        int nextA = 0, nextB = 0;
        for (const auto& frame : service->received()) {
            QCOMPARE(frame.argument.value("blob").toByteArray().size(), payload.size());
            int& next = frame.selector == QLatin1String("a:") ? nextA : nextB;
            QCOMPARE(frame.argument.value("i").toInt(), next++);
        }
        QCOMPARE(nextA, perThread);
        QCOMPARE(nextB, perThread);
    }

    void writingToAVanishedPeerFailsQuietly() {
        // With SIGPIPE at its default, a plain write here would kill the test.
        std::signal(SIGPIPE, SIG_DFL);
        service = std::make_unique<FakeInspectorService>();
        QVERIFY(service->start());
        auto transport = std::make_shared<UnixTransport>(service->path());
        QVERIFY(!transport->open());
        QVERIFY(service->waitForClients(1));
        service->stop();
        bool failed = false;
        for (int i = 0; i < 50 && !failed; ++i)
            failed = !transport->send(QByteArray(65536, 'z'));
        std::signal(SIGPIPE, SIG_IGN);
        QVERIFY(failed);
        transport->close();
    }
};

QTEST_GUILESS_MAIN(ChannelTest)
#include "tst_channel.moc"
