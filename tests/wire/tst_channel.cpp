// The framed property-list channel over a real unix socket, against the fake inspector service,
// and the simulator transport under it against bare sockets.
#include "base/UniqueFd.h"
#include "support/FakeInspectorService.h"
#include "wire/PropertyList.h"
#include "wire/UnixTransport.h"
#include "wire/WIRSocket.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <csignal>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace {

// A socket bound at `path`; listening unless `listen` is false (a socket file nobody serves).
UniqueFd bound(const QString& path, bool listen = true) {
    UniqueFd fd{::socket(AF_UNIX, SOCK_STREAM, 0)};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = path.toUtf8();
    std::memcpy(address.sun_path, bytes.constData(), std::min(sizeof address.sun_path, size_t(bytes.size())));
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (listen)
        ::listen(fd.get(), 4);
    return fd;
}

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

// `levels` arrays (or dictionaries under the key "k") each inside the last, as a binary or XML property
// list. Built by hand: libplist itself writes recursively.
QByteArray nested(bool binary, bool dictionaries, int levels) {
    const QByteArray open = dictionaries ? "<dict><key>k</key>" : "<array>",
                     close = dictionaries ? "</dict>" : "</array>";
    if (!binary)
        return "<plist>" + open.repeated(levels) + close.repeated(levels) + "</plist>";
    const auto be32 = [](qsizetype value) {
        const quint32 big = qToBigEndian(quint32(value));
        return QByteArray(reinterpret_cast<const char*>(&big), 4);
    };
    // Object i holds object i + 1; the key is the last object. References and offsets of four bytes.
    QByteArray body = "bplist00", offsets;
    for (int i = 0; i < levels; ++i) {
        offsets += be32(body.size());
        const QByteArray inner = (dictionaries ? be32(levels) : QByteArray()) + be32(i + 1);
        body += i + 1 < levels ? (dictionaries ? "\xD1" : "\xA1") + inner
                               : QByteArray(dictionaries ? "\xD0" : "\xA0");
    }
    offsets += be32(body.size());
    body += "\x51k";
    // The trailer: widths of offsets and references, object count, root, where the offsets start.
    const QByteArray trailer = QByteArray(6, 0) + "\x04\x04" + QByteArray(4, 0) + be32(levels + 1) +
                               QByteArray(12, 0) + be32(body.size());
    return body + offsets + trailer;
}

} // namespace

class TestChannel : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeInspectorService> service;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<WIRSocket> socket;
    QTemporaryDir temp{QStringLiteral("/tmp/tvut-XXXXXX")};

    void openSocket() {
        service = std::make_unique<FakeInspectorService>();
        QVERIFY(service->start());
        recorder = std::make_shared<Recorder>();
        socket = WIRSocket::create(
            std::make_shared<UnixTransport>(service->path()),
            [r = recorder](QString selector, QVariantMap argument) {
                std::lock_guard guard(r->lock);
                r->selectors << selector;
                r->arguments << argument;
            },
            [r = recorder](QString reason) {
                std::lock_guard guard(r->lock);
                r->closes << reason;
            });
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

    // Binary and XML bodies, and frames that are no message skipped without harm; then closing. (Sending,
    // every connection suite shows.)
    void framesTravelAndMalformedOnesAreSkipped() {
        openSocket();
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
        socket->close(); // wakes the blocked read thread, and is reported once
        socket->close();
        QTRY_COMPARE(recorder->read(recorder->closes), QStringList{"closed"});
        QTest::qWait(50);
        QCOMPARE(recorder->read(recorder->closes).size(), 1);
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
        // A body that is no message: skipped whole, and the stream goes on behind it.
        const QByteArray body(accepted ? qsizetype(length) : 0, 'a');
        std::thread writer([&] {
            service->sendRaw(FakeInspectorService::encode("before:", {}) + header + body +
                             FakeInspectorService::encode("after:", {}));
        });
        if (accepted)
            QTRY_COMPARE_WITH_TIMEOUT(recorder->read(recorder->selectors), (QStringList{"before:", "after:"}),
                                      60000);
        else
            QTRY_COMPARE(recorder->read(recorder->closes), QStringList{"connection lost"});
        writer.join();
        QCOMPARE(socket->isLive(), accepted);
        if (!accepted)
            QCOMPARE(recorder->read(recorder->selectors), QStringList{"before:"});
    }

    // A list nested deeper than any message needs is refused before libplist, whose reader and free
    // recurse, sees it; so is a key holding a NUL, on which libplist's reader asserts. The stream goes on.
    void badListsAreRefused_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("decodes");
        for (bool binary : {true, false}) {
            for (bool dictionaries : {false, true}) {
                for (int levels : {64, 65, binary ? 1000000 : 200000})
                    QTest::addRow("%s %s %d", binary ? "binary" : "xml",
                                  dictionaries ? "dictionaries" : "arrays", levels)
                        << nested(binary, dictionaries, levels) << (levels <= 64);
            }
        }
        // {"a\0b": 1} with a UTF-16 key: dictionary, key, integer; offsets and references of one byte.
        QTest::newRow("key holding NUL")
            << QByteArray("bplist00\xD1\x01\x02\x63\0a\0\0\0b\x10\x01\x08\x0B\x12\0\0\0\0\0\0\x01\x01"
                          "\0\0\0\0\0\0\0\x03\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x14",
                          55)
            << false;
    }
    void badListsAreRefused() {
        QFETCH(QByteArray, body);
        QFETCH(bool, decodes);
        QCOMPARE(PropertyList::decode(body).has_value(), decodes);
        openSocket();
        // The reader keeps reading, so the write ends.
        QVERIFY(service->sendRaw(FakeInspectorService::frameBytes(body) +
                                 FakeInspectorService::encode("after:", {})));
        QTRY_COMPARE_WITH_TIMEOUT(recorder->read(recorder->selectors), QStringList{"after:"}, 20000);
        QVERIFY(socket->isLive());
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

    void transportOpenFailuresCarryTheirCause_data() {
        QTest::addColumn<int>("length"); // of the path, in UTF-8 bytes
        QTest::addColumn<QString>("tail");
        QTest::addColumn<std::optional<WIRError>>("error");
        QTest::newRow("longest path") << 103 << "/s" << std::optional<WIRError>();
        QTest::newRow("too long") << 104 << "/s" << std::optional(WIRError::pathTooLong());
        // Multi-byte characters count by their bytes: 104 in all, 103 characters.
        QTest::newRow("accented") << 104 << QString::fromUtf8("/\u00e9")
                                  << std::optional(WIRError::pathTooLong());
        QTest::newRow("stale socket") << 40 << "/s" << std::optional(WIRError::socket(ECONNREFUSED));
    }
    void transportOpenFailuresCarryTheirCause() {
        QFETCH(int, length);
        QFETCH(QString, tail);
        QFETCH(std::optional<WIRError>, error);
        QString dir = temp.path() + QLatin1Char('/');
        dir += QString(length - int(dir.toUtf8().size()) - int(tail.toUtf8().size()), QLatin1Char('d'));
        QDir().mkpath(dir);
        const QString path = dir + tail;
        const UniqueFd server = tail == QLatin1String("/s") ? bound(path, length != 40) : UniqueFd();
        UnixTransport transport(path);
        QCOMPARE(transport.open(), error);
        QCOMPARE(transport.handle() >= 0, !error);
        ::unlink(path.toUtf8().constData());
    }

    // A vanished peer ends the stream quietly. (That close wakes a blocked read, the channel's own
    // close shows.)
    void transportEndsQuietly() {
        const QString path = temp.filePath(QStringLiteral("b.sock"));
        const UniqueFd server = bound(path);
        UnixTransport transport(path);
        QCOMPARE(transport.open(), std::nullopt);
        UniqueFd peer{::accept(server.get(), nullptr, nullptr)};
        (void)!::write(peer.get(), "xy", 2);
        peer.reset();
        QCOMPARE(transport.receive(4), std::nullopt); // the peer closed after 2 bytes
        // With SIGPIPE at its default, a plain write here would kill the test.
        std::signal(SIGPIPE, SIG_DFL);
        bool failed = false;
        for (int i = 0; i < 50 && !failed; ++i)
            failed = !transport.send(QByteArray(65536, 'z'));
        std::signal(SIGPIPE, SIG_IGN);
        QVERIFY(failed);
        transport.close();
        QVERIFY(!transport.send("x") && transport.handle() == -1);
    }
};

QTEST_GUILESS_MAIN(TestChannel)
#include "tst_channel.moc"
