// The simulator transport against real unix sockets.
#include "base/UniqueFd.h"
#include "wire/UnixTransport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using namespace std::chrono_literals;

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

} // namespace

class TestUnixTransport : public QObject {
    Q_OBJECT

    QTemporaryDir temp{QStringLiteral("/tmp/tvut-XXXXXX")};

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void openFailuresCarryTheirCause_data() {
        QTest::addColumn<int>("length"); // of the path, in UTF-8 bytes
        QTest::addColumn<QString>("tail");
        QTest::addColumn<std::optional<WIRError>>("error");
        QTest::newRow("longest path") << 103 << "/s" << std::optional<WIRError>();
        QTest::newRow("too long") << 104 << "/s" << std::optional(WIRError::pathTooLong());
        // Multi-byte characters count by their bytes: 103 in all, and nobody listens there.
        QTest::newRow("accented") << 103 << QString::fromUtf8("/\u00e9")
                                  << std::optional(WIRError::socket(ENOENT));
        QTest::newRow("stale socket") << 40 << "/s" << std::optional(WIRError::socket(ECONNREFUSED));
    }
    void openFailuresCarryTheirCause() {
        QFETCH(int, length);
        QFETCH(QString, tail);
        QFETCH(std::optional<WIRError>, error);
        QString dir = temp.path() + QLatin1Char('/');
        dir += QString(length - int(dir.toUtf8().size()) - int(tail.toUtf8().size()), QLatin1Char('d'));
        QDir().mkpath(dir);
        const QString path = dir + tail;
        QCOMPARE(path.toUtf8().size(), length);
        const UniqueFd server = tail == QLatin1String("/s") ? bound(path, length != 40) : UniqueFd();
        UnixTransport transport(path);
        QCOMPARE(transport.open(), error);
        QCOMPARE(transport.handle() >= 0, !error);
        ::unlink(path.toUtf8().constData());
    }

    // Short reads are put together, large ones arrive whole; close wakes a reader and ends all use.
    void readsAndClose() {
        const QString path = temp.filePath(QStringLiteral("a.sock"));
        const UniqueFd server = bound(path);
        UnixTransport transport(path);
        QCOMPARE(transport.open(), std::nullopt);
        const UniqueFd peer{::accept(server.get(), nullptr, nullptr)};
        QByteArray big(3 * 1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char(i * 7);
        std::thread writer([&] {
            (void)!::write(peer.get(), "ab", 2);
            std::this_thread::sleep_for(50ms);
            (void)!::write(peer.get(), "cdEFG", 5);
            (void)!::write(peer.get(), big.constData(), size_t(big.size()));
        });
        QCOMPARE(transport.receive(4), std::optional(QByteArray("abcd")));
        QCOMPARE(transport.receive(0), std::optional(QByteArray()));
        QCOMPARE(transport.receive(3), std::optional(QByteArray("EFG")));
        QCOMPARE(transport.receive(size_t(big.size())), std::optional(big));
        writer.join();

        std::optional<QByteArray> got = QByteArray("unset");
        std::thread reader([&] { got = transport.receive(4); });
        std::this_thread::sleep_for(100ms);
        transport.close();
        reader.join();
        QCOMPARE(got, std::nullopt);
        transport.close();
        QCOMPARE(transport.handle(), -1);
        QVERIFY(!transport.send("x"));
        QCOMPARE(transport.receive(1), std::nullopt);
    }

    void aVanishedPeerEndsTheStreamQuietly() {
        const QString path = temp.filePath(QStringLiteral("b.sock"));
        UniqueFd server = bound(path);
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
    }
};

QTEST_GUILESS_MAIN(TestUnixTransport)
#include "tst_unixtransport.moc"
