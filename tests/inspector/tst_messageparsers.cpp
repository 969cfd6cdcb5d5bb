// Inbound page messages: a target wrapper is unwrapped by a glance only when reading it whole would
// have found the same inner message; every other shape is handed on whole, as before.
#include "inspector/MessageParsers.h"

#include <QTest>

class TestMessageParsers : public QObject {
    Q_OBJECT

private slots:
    void parseInbound_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("depth"); // -1: not JSON at all
        QTest::addColumn<QByteArray>("root");
        // JSON written with ' for " to stay readable.
        const auto j = [](QByteArray text) { return text.replace('\'', '"'); };
        const QByteArray inner = j("{'method':'Console.messageAdded','params':{}}");
        const QByteArray escaped = j("{\\'method\\':\\'Console.messageAdded\\',\\'params\\':{}}");
        const QByteArray wrapper = j("{'method':'Target.dispatchMessageFromTarget',");
        QTest::newRow("wrapper") << wrapper + j("'params':{'targetId':'t','message':'") + escaped + j("'}}")
                                 << 1 << inner;
        QTest::newRow("params first, spaces") << j(" { 'params' : { 'message' : '") + escaped +
                                                     j("' } , 'method':'Target.dispatchMessageFromTarget' } ")
                                              << 1 << inner;
        QTest::newRow("first message wins")
            << wrapper + j("'params':{'message':'") + escaped + j("','message':'{}'}}") << 1 << inner;
        QTest::newRow("escaped key") << wrapper + j("'params':{'mess\\u0061ge':'{}'}}") << 1 << j("{}");
        QTest::newRow("oversized integer inside")
            << wrapper + j("'params':{'message':'[100000000000000000000]'}}") << 1 << j("[1e+20]");
        // Handed on whole: the dispatch decides, as it always did.
        const QByteArray withID =
            j("{'id':3,'method':'Target.dispatchMessageFromTarget','params':{'message':'{}'}}");
        QTest::newRow("with an id") << withID << 0 << withID;
        QTest::newRow("message not text")
            << wrapper + j("'params':{'message':{}}}") << 0 << wrapper + j("'params':{'message':{}}}");
        QTest::newRow("other method") << inner << 0 << inner;
        QTest::newRow("lone surrogate in the wrapper") << wrapper + j("'params':{'message':'\\ud800'}}") << 0
                                                       << wrapper + j("'params':{'message':'\\ufffd'}}");
        QTest::newRow("trailing text") << wrapper + j("'params':{'message':'{}'}} x") << -1 << QByteArray();
        QTest::newRow("inner not JSON") << wrapper + j("'params':{'message':'{'}}") << -1 << QByteArray();
    }

    void parseInbound() {
        QFETCH(QByteArray, json);
        QFETCH(int, depth);
        QFETCH(QByteArray, root);
        MessageParsers parsers;
        const auto parsed = parsers.parseInbound(std::string_view(json.constData(), size_t(json.size())));
        QCOMPARE(parsed ? parsed->depth : -1, depth);
        if (!parsed)
            return;
        simdjson::dom::parser expected;
        QCOMPARE(QByteArray::fromStdString(simdjson::minify(parsed->element)),
                 QByteArray::fromStdString(simdjson::minify(expected.parse(root.toStdString()).value())));
    }
};

QTEST_GUILESS_MAIN(TestMessageParsers)
#include "tst_messageparsers.moc"
