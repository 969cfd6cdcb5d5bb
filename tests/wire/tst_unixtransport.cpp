// The simulator transport against real unix sockets.
#include "wire/UnixTransport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A listening socket with one accepted peer, for writing bytes at the transport by hand.
struct Listener {
    QString path;
    int listenFd = -1;
    int peer = -1;

    explicit Listener(QString at) : path(std::move(at)) {
        listenFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray bytes = path.toUtf8();
        std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
        ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listenFd, 4);
    }
    ~Listener() {
        if (peer >= 0)
            ::close(peer);
        ::close(listenFd);
        ::unlink(path.toUtf8().constData());
    }
    void accept() { peer = ::accept(listenFd, nullptr, nullptr); }
    void write(const char* bytes, size_t size) { QCOMPARE(::write(peer, bytes, size), ssize_t(size)); }
};

// A directory whose path has exactly `length` bytes once "/s" is appended to it.
QString pathOfLength(const QString& base, int length) {
    QString dir = base + QLatin1Char('/');
    const int fill = length - int(dir.toUtf8().size()) - 2;
    dir += QString(fill, QLatin1Char('d'));
    QDir().mkpath(dir);
    return dir + QStringLiteral("/s");
}

} // namespace

class UnixTransportTest : public QObject {
    Q_OBJECT

private slots:
    void pathLengthLimit() {
        QTemporaryDir temp(QStringLiteral("/tmp/tvut-XXXXXX"));
        const QString fits = pathOfLength(temp.path(), 103);
        QCOMPARE(fits.toUtf8().size(), 103);
        {
            Listener listener(fits);
            UnixTransport transport(fits);
            QCOMPARE(transport.open(), std::nullopt);
            QVERIFY(transport.handle() >= 0);
        }
        const QString tooLong = pathOfLength(temp.path(), 104);
        UnixTransport transport(tooLong);
        QCOMPARE(transport.open(), std::optional(WIRError::pathTooLong()));
        QCOMPARE(transport.handle(), -1);

        // Multi-byte characters count by their UTF-8 bytes.
        QString accented = pathOfLength(temp.path(), 102);
        accented.chop(1);
        accented += QString::fromUtf8("\u00e9"); // two bytes: 103 in all
        QCOMPARE(accented.toUtf8().size(), 103);
        UnixTransport nearLimit(accented);
        QCOMPARE(nearLimit.open(), std::optional(WIRError::socket(ENOENT)));
    }

    void connectFailuresCarryErrno() {
        QTemporaryDir temp(QStringLiteral("/tmp/tvut-XXXXXX"));
        UnixTransport missing(temp.path() + QStringLiteral("/none.sock"));
        QCOMPARE(missing.open(), std::optional(WIRError::socket(ENOENT)));

        // A socket file that nobody listens on any more.
        const QString stale = temp.path() + QStringLiteral("/stale.sock");
        {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strcpy(address.sun_path, stale.toUtf8().constData());
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ::close(fd);
        }
        UnixTransport refused(stale);
        QCOMPARE(refused.open(), std::optional(WIRError::socket(ECONNREFUSED)));
    }

    void shortReadsAreReassembled() {
        QTemporaryDir temp(QStringLiteral("/tmp/tvut-XXXXXX"));
        Listener listener(temp.path() + QStringLiteral("/a.sock"));
        UnixTransport transport(listener.path);
        QCOMPARE(transport.open(), std::nullopt);
        listener.accept();

        std::thread writer([&] {
            listener.write("ab", 2);
            std::this_thread::sleep_for(50ms);
            listener.write("cdEFG", 5);
        });
        QCOMPARE(transport.receive(4), std::optional(QByteArray("abcd")));
        QCOMPARE(transport.receive(0), std::optional(QByteArray()));
        QCOMPARE(transport.receive(3), std::optional(QByteArray("EFG")));
        writer.join();

        listener.write("xy", 2);
        ::shutdown(listener.peer, SHUT_WR);
        QCOMPARE(transport.receive(4), std::nullopt); // the peer closed after 2 bytes
    }

    void largeReadsArriveWhole() {
        QTemporaryDir temp(QStringLiteral("/tmp/tvut-XXXXXX"));
        Listener listener(temp.path() + QStringLiteral("/b.sock"));
        UnixTransport transport(listener.path);
        QCOMPARE(transport.open(), std::nullopt);
        listener.accept();
        QByteArray big(3 * 1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char(i * 7);
        std::thread writer([&] { listener.write("hd", 2); listener.write(big.constData(), size_t(big.size())); });
        QCOMPARE(transport.receive(2), std::optional(QByteArray("hd")));
        QCOMPARE(transport.receive(size_t(big.size())), std::optional(big));
        writer.join();
    }

    void closeWakesAReaderAndIsIdempotent() {
        QTemporaryDir temp(QStringLiteral("/tmp/tvut-XXXXXX"));
        Listener listener(temp.path() + QStringLiteral("/c.sock"));
        UnixTransport transport(listener.path);
        QCOMPARE(transport.open(), std::nullopt);
        listener.accept();
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

    void unopenedTransportDoesNothing() {
        UnixTransport transport(QStringLiteral("/tmp/unused.sock"));
        QCOMPARE(transport.handle(), -1);
        QVERIFY(!transport.send("x"));
        QCOMPARE(transport.receive(1), std::nullopt);
        transport.close();
    }
};

QTEST_GUILESS_MAIN(UnixTransportTest)
#include "tst_unixtransport.moc"
