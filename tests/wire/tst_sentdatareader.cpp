// The fast reader of console frames against libplist: on recorded frames and on damaged copies
// of them, it either declines or reads exactly what PropertyList reads.
#include "wire/SentDataReader.h"
#include "wire/WIRSocket.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTest>

class TestSentDataReader : public QObject {
    Q_OBJECT

private slots:
    void agreesWithLibplist_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<bool>("read");
        const QDir corpus(QStringLiteral(TAVOLIN_FRAME_CORPUS));
        const QStringList declined = {"sent-data-unicode", "sent-data-nested", "sent-data-no-argument",
                                      "listing",           "applications",     "sent-data-xml"};
        for (const QFileInfo& file : corpus.entryInfoList(QDir::Files)) {
            QFile in(file.filePath());
            QVERIFY(in.open(QIODevice::ReadOnly));
            QTest::newRow(qPrintable(file.fileName())) << in.readAll() << !declined.contains(file.baseName());
        }
        QVERIFY(corpus.count() > 10);
        // As libplist writes it, the way the fakes and the benchmark send it.
        const QByteArray frame = *WIRSocket::encodeFrame(QStringLiteral("_rpc_applicationSentData:"),
                                                         {{"WIRApplicationIdentifierKey", "PID:4711"},
                                                          {"WIRPageIdentifierKey", 7},
                                                          {"WIRMessageDataKey", QByteArray(300, '{')}});
        QTest::newRow("written by libplist") << frame.mid(4) << true;
    }

    void agreesWithLibplist() {
        QFETCH(QByteArray, frame);
        QFETCH(bool, read);
        QCOMPARE(SentDataReader::decode(frame.constData(), size_t(frame.size())).has_value(), read);
        QVERIFY(SentDataReader::agreesWithPropertyList(frame.constData(), size_t(frame.size())));
        // Damaged copies: bytes changed (often in the trailer and object table, where the
        // structure is), and cut short.
        QRandomGenerator random(quint32(qHash(frame)));
        for (int round = 0; round < 3000; ++round) {
            QByteArray damaged = frame;
            const int changes = 1 + int(random.bounded(3));
            for (int i = 0; i < changes; ++i) {
                const qsizetype at =
                    random.bounded(2)
                        ? damaged.size() - 1 - random.bounded(qMin<qsizetype>(48, damaged.size()))
                        : random.bounded(damaged.size());
                damaged[at] = char(random.bounded(4) ? random.bounded(256) : (random.bounded(2) ? 0 : 0xFF));
            }
            if (round % 10 == 0)
                damaged.truncate(random.bounded(damaged.size()));
            if (!SentDataReader::agreesWithPropertyList(damaged.constData(), size_t(damaged.size())))
                QFAIL(qPrintable("disagrees on " + damaged.toHex()));
        }
    }
};

QTEST_GUILESS_MAIN(TestSentDataReader)
#include "tst_sentdatareader.moc"
