#include "inspector/JsonFixture.h"
#include "inspector/PageRequests.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <memory>

namespace {

QStringList names(const QList<PropertyNode>& nodes) {
    QStringList result;
    for (const PropertyNode& node : nodes)
        result.append(node.name);
    return result;
}

QList<PropertyNode> nodesOf(std::string_view json) {
    JsonFixture answer(json);
    return PageRequests::nodes(answer.root());
}

// A property descriptor whose value is a number, in the shape the inspector sends.
QJsonObject numberProperty(const QString& name) {
    return QJsonObject{{"name", name}, {"value", QJsonObject{{"type", "number"}, {"value", 1}}}};
}

std::string propertiesAnswer(const QJsonArray& descriptors) {
    return QJsonDocument(QJsonObject{{"id", 4}, {"result", QJsonObject{{"properties", descriptors}}}})
        .toJson(QJsonDocument::Compact)
        .toStdString();
}

// An evaluation answer whose value is returned by value.
std::string returned(const QJsonValue& value, bool thrown = false) {
    QJsonObject result{{"result", QJsonObject{{"type", "object"}, {"value", value}}}};
    if (thrown)
        result.insert("wasThrown", true);
    return QJsonDocument(QJsonObject{{"id", 9}, {"result", result}})
        .toJson(QJsonDocument::Compact)
        .toStdString();
}

// Stands in for a page's session: records what is sent and lets the test answer it.
class ScriptedPage {
public:
    struct Sent {
        QString method;
        QJsonObject params;
        PageRequests::Handler handler;
    };

    bool hasSession = true;
    std::vector<Sent> sent;

    PageRequests::Send send() {
        return [this](const QString& method, const QJsonObject& params, PageRequests::Handler handler) {
            if (!hasSession)
                return false;
            sent.push_back({method, params, std::move(handler)});
            return true;
        };
    }

    void answer(size_t index, std::string_view json) {
        QVERIFY(index < sent.size());
        JsonFixture fixture(json);
        sent[index].handler(fixture.root());
    }
};

const std::string kPageEnabled = R"j({"id":1,"result":{}})j";

std::string snapshotAnswer(const QString& dataURL) {
    return QJsonDocument(QJsonObject{{"id", 5}, {"result", QJsonObject{{"dataURL", dataURL}}}})
        .toJson(QJsonDocument::Compact)
        .toStdString();
}

} // namespace

class TestPageRequests : public QObject {
    Q_OBJECT

private slots:
    void propertyOrder_data();
    void propertyOrder();
    void propertyRows();
    void propertyErrors();
    void integerNames_data();
    void integerNames();
    void completionAnswers_data();
    void completionAnswers();
    void serialisationAnswers();
    void snapshotSizes_data();
    void snapshotSizes();
    void dataURLs_data();
    void dataURLs();
    void snapshotSteps();
    void snapshotFailures();
    void requestParameters();
};

void TestPageRequests::propertyOrder_data() {
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("indices, names, internals")
        << QStringList{"10", "__proto__", "b", "2", "A"} << QStringList{"2", "10", "A", "b", "__proto__"};
    QTest::newRow("signed integers by value")
        << QStringList{"+3", "-1", "x", "-20", "0"} << QStringList{"-20", "-1", "0", "+3", "x"};
    // Beyond 64 bits a run of digits is an ordinary name, ordered with numbers inside names.
    QTest::newRow("oversized digits are names")
        << QStringList{"99999999999999999999", "a", "9223372036854775807"}
        << QStringList{"9223372036854775807", "99999999999999999999", "a"};
    QTest::newRow("numbers inside names by value")
        << QStringList{"item10", "Item2", "item1"} << QStringList{"item1", "Item2", "item10"};
    QTest::newRow("internals among themselves")
        << QStringList{"__proto__", "__defineGetter__", "__10", "__2"}
        << QStringList{"__2", "__10", "__defineGetter__", "__proto__"};
    QTest::newRow("not quite integers") << QStringList{"1e3", "1.5", "7"} << QStringList{"7", "1.5", "1e3"};
}

void TestPageRequests::propertyOrder() {
    QFETCH(QStringList, given);
    QFETCH(QStringList, expected);
    QJsonArray descriptors;
    for (const QString& name : given)
        descriptors.append(numberProperty(name));
    QCOMPARE(names(nodesOf(propertiesAnswer(descriptors))), expected);
}

void TestPageRequests::propertyRows() {
    const QList<PropertyNode> rows = nodesOf(R"j({"id":3,"result":{"properties":[
        {"name":"count","value":{"type":"number","value":42,"description":"42"}},
        {"name":"child","value":{"type":"object","objectId":"{\"injectedScriptId\":1,\"id\":7}",
                                 "className":"Object","description":"Object",
                                 "preview":{"type":"object","description":"Object","lossless":true,
                                            "properties":[{"name":"a","type":"number","value":"1"}]}}},
        {"name":"nothing","value":{"type":"object","subtype":"null","objectId":"{\"id\":8}","value":null}},
        {"name":"label","value":{"type":"string","value":"hi"}},
        {"name":"size","get":{"type":"function","objectId":"{\"id\":9}","description":"function get size() {}"}},
        {"name":"hole"},
        {"value":{"type":"number","value":1}},
        {"name":17,"value":{"type":"number","value":1}},
        "not a descriptor"
    ]}})j");

    QCOMPARE(names(rows), (QStringList{"child", "count", "hole", "label", "nothing", "size"}));
    QCOMPARE(rows[0].value, QStringLiteral("{a: 1}"));
    QCOMPARE(rows[0].objectID, std::optional<QString>(R"({"injectedScriptId":1,"id":7})"));
    QCOMPARE(rows[1].objectID, std::nullopt);
    QCOMPARE(rows[2].value, QStringLiteral("(no value)"));
    // A null carries an object id in some answers; there is nothing to expand in it.
    QCOMPARE(rows[4].value, QStringLiteral("null"));
    QCOMPARE(rows[4].objectID, std::nullopt);
    // An accessor is not read: reading it could run page code.
    QCOMPARE(rows[5].value, QStringLiteral("(getter)"));
    QCOMPARE(rows[5].objectID, std::nullopt);

    // Every row is a node of its own, even when read twice from the same answer.
    QSet<QUuid> ids;
    for (const PropertyNode& row : rows)
        ids.insert(row.id);
    QCOMPARE(ids.size(), rows.size());
    const QList<PropertyNode> again = nodesOf(propertiesAnswer({numberProperty("a")}));
    QVERIFY(nodesOf(propertiesAnswer({numberProperty("a")})).first() != again.first());
}

void TestPageRequests::propertyErrors() {
    // An object the page no longer holds, in the page's words.
    QList<PropertyNode> rows =
        nodesOf(R"j({"id":3,"error":{"code":-32000,"message":"Could not find object"}})j");
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].value, QStringLiteral("Could not find object"));

    rows = nodesOf(R"j({"id":3,"error":{"code":-32000}})j");
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].value, QStringLiteral("value is no longer available"));

    QVERIFY(nodesOf(R"j({"id":3,"result":{}})j").isEmpty());
    QVERIFY(nodesOf(R"j({"id":3,"result":{"properties":{}}})j").isEmpty());
    QVERIFY(nodesOf(R"j([1,2])j").isEmpty());
}

void TestPageRequests::integerNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<std::optional<qint64>>("value");
    QTest::newRow("leading zeros") << "007" << std::optional<qint64>(7);
    QTest::newRow("largest") << "9223372036854775807" << std::optional<qint64>(9223372036854775807);
    QTest::newRow("smallest") << "-9223372036854775808"
                              << std::optional<qint64>(std::numeric_limits<qint64>::min());
    QTest::newRow("one past") << "9223372036854775808" << std::optional<qint64>();
    QTest::newRow("arabic-indic digits") << QString::fromUtf8("\u0661\u0662") << std::optional<qint64>();
    QTest::newRow("leading space") << " 1" << std::optional<qint64>();
    QTest::newRow("fraction") << "1.5" << std::optional<qint64>();
}

void TestPageRequests::integerNames() {
    QFETCH(QString, name);
    QFETCH(std::optional<qint64>, value);
    QCOMPARE(PageRequests::integerName(name), value);
}

void TestPageRequests::completionAnswers_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("expected");
    auto answer = [](const QJsonValue& value, bool thrown = false) {
        return QString::fromStdString(returned(value, thrown));
    };
    QTest::newRow("names in order") << answer(QJsonArray{"body", "head", "title"})
                                    << QStringList{"body", "head", "title"};
    QTest::newRow("thrown") << answer(QJsonArray{"x"}, true) << QStringList{};
    QTest::newRow("one name is not a string") << answer(QJsonArray{"a", 1, "b"}) << QStringList{};
    QTest::newRow("not a list") << answer("body") << QStringList{};
    QTest::newRow("error") << R"j({"id":2,"error":{"message":"gone"}})j" << QStringList{};
    QTest::newRow("no value") << R"j({"id":2,"result":{"result":{"type":"undefined"}}})j" << QStringList{};
}

void TestPageRequests::completionAnswers() {
    QFETCH(QString, answer);
    QFETCH(QStringList, expected);
    JsonFixture fixture(answer.toStdString());
    QCOMPARE(PageRequests::completionNames(fixture.root()), expected);
}

void TestPageRequests::serialisationAnswers() {
    auto text = [](std::string_view json) {
        JsonFixture fixture(json);
        return PageRequests::serialized(fixture.root());
    };
    QCOMPARE(text(returned("{\n  \"a\": 1\n}")), std::optional<QString>("{\n  \"a\": 1\n}"));
    QCOMPARE(text(returned("")), std::optional<QString>(""));
    QCOMPARE(text(returned("boom", true)), std::nullopt);
    QCOMPARE(text(returned(3)), std::nullopt);
    QCOMPARE(text(R"j({"id":2,"result":{"result":{"type":"undefined"}}})j"), std::nullopt);
    QCOMPARE(text(R"j({"id":2,"error":{"message":"gone"}})j"), std::nullopt);

    // The two modes differ in the one switch at the top of the function, nowhere else.
    const QString json = PageRequests::serializerFunction(true);
    const QString literal = PageRequests::serializerFunction(false);
    QVERIFY(json.startsWith(QStringLiteral("function")));
    const qsizetype at = json.indexOf(QStringLiteral("var JSONMode = true;"));
    QVERIFY(at > 0);
    QCOMPARE(literal.indexOf(QStringLiteral("var JSONMode = false;")), at);
    QCOMPARE(QString(json).remove(at, 20), QString(literal).remove(at, 21));
}

void TestPageRequests::snapshotSizes_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<qint64>("width"); // 0: no size
    QTest::addColumn<qint64>("height");
    auto answer = [](const QJsonValue& value, bool thrown = false) {
        return QString::fromStdString(returned(value, thrown));
    };
    QTest::newRow("viewport") << answer("[390,844]") << qint64(390) << qint64(844);
    QTest::newRow("fractions truncate") << answer("[390.9, 844.2]") << qint64(390) << qint64(844);
    QTest::newRow("negative height") << answer("[390,-1]") << qint64(0) << qint64(0);
    QTest::newRow("below one pixel") << answer("[0.5,844]") << qint64(0) << qint64(0);
    QTest::newRow("not numbers") << answer(R"(["390","844"])") << qint64(0) << qint64(0);
    QTest::newRow("NaN became null") << answer("[null,844]") << qint64(0) << qint64(0);
    QTest::newRow("beyond 64 bits as digits")
        << answer("[18446744073709551615,844]") << qint64(0) << qint64(0);
    QTest::newRow("not JSON") << answer("390x844") << qint64(0) << qint64(0);
    QTest::newRow("array not text") << answer(QJsonArray{390, 844}) << qint64(0) << qint64(0);
    QTest::newRow("thrown") << answer("[390,844]", true) << qint64(0) << qint64(0);
}

void TestPageRequests::snapshotSizes() {
    QFETCH(QString, answer);
    QFETCH(qint64, width);
    QFETCH(qint64, height);
    JsonFixture fixture(answer.toStdString());
    const std::optional<PageRequests::SnapshotSize> size = PageRequests::snapshotSize(fixture.root());
    QCOMPARE(size.has_value(), width != 0);
    if (size) {
        QCOMPARE(size->width, width);
        QCOMPARE(size->height, height);
    }
}

void TestPageRequests::dataURLs_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("bytes"); // empty: nothing
    const QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    QTest::newRow("png") << "data:image/png;base64," + QString::fromLatin1(png.toBase64()) << png;
    QTest::newRow("last comma wins") << "data:text/plain;a=b,c;base64,aGVsbG8=" << QByteArray("hello");
    QTest::newRow("no header") << "aGVsbG8=" << QByteArray("hello");
    QTest::newRow("unpadded") << "data:image/png;base64,aGVsbG8" << QByteArray();
    QTest::newRow("stray character") << "data:image/png;base64,aGVs*bG8=" << QByteArray();
    QTest::newRow("nothing after the comma") << "data:image/png;base64," << QByteArray();
    QTest::newRow("percent-encoded") << "data:text/plain,hello%20world" << QByteArray();
}

void TestPageRequests::dataURLs() {
    QFETCH(QString, url);
    QFETCH(QByteArray, bytes);
    const QByteArray utf8 = url.toUtf8();
    const std::optional<QByteArray> decoded =
        PageRequests::dataURLBytes({utf8.constData(), size_t(utf8.size())});
    if (bytes.isEmpty())
        QCOMPARE(decoded, std::nullopt);
    else
        QCOMPARE(decoded, std::optional<QByteArray>(bytes));
}

void TestPageRequests::snapshotSteps() {
    for (const bool fullPage : {true, false}) {
        ScriptedPage page;
        int calls = 0;
        std::optional<QByteArray> image;
        PageRequests::snapshot(page.send(), fullPage, [&](std::optional<QByteArray> bytes) {
            ++calls;
            image = std::move(bytes);
        });

        // One step at a time: each waits for the answer to the one before.
        QCOMPARE(page.sent.size(), size_t(1));
        QCOMPARE(page.sent[0].method, QStringLiteral("Page.enable"));
        QCOMPARE(page.sent[0].params, QJsonObject());
        // Whatever the page says to enabling, the snapshot goes on.
        page.answer(0, R"j({"id":1,"error":{"message":"already enabled"}})j");
        QCOMPARE(page.sent.size(), size_t(2));
        QCOMPARE(page.sent[1].method, QStringLiteral("Runtime.evaluate"));
        const QString measure = fullPage
                                    ? QStringLiteral("JSON.stringify([document.documentElement.scrollWidth, "
                                                     "document.documentElement.scrollHeight])")
                                    : QStringLiteral("JSON.stringify([innerWidth, innerHeight])");
        QCOMPARE(page.sent[1].params, (QJsonObject{{"expression", measure},
                                                   {"returnByValue", true},
                                                   {"doNotPauseOnExceptionsAndMuteConsole", true}}));
        page.answer(1, returned("[390.5,1200]"));
        QCOMPARE(page.sent.size(), size_t(3));
        QCOMPARE(page.sent[2].method, QStringLiteral("Page.snapshotRect"));
        QCOMPARE(page.sent[2].params, (QJsonObject{{"x", 0},
                                                   {"y", 0},
                                                   {"width", 390},
                                                   {"height", 1200},
                                                   {"coordinateSystem", fullPage ? "Page" : "Viewport"}}));
        QCOMPARE(calls, 0);
        page.answer(2, snapshotAnswer("data:image/png;base64,aGVsbG8="));
        QCOMPARE(calls, 1);
        QCOMPARE(image, std::optional<QByteArray>("hello"));
    }
}

// Every way a snapshot can fail ends it with one empty answer, at the step where it failed.
void TestPageRequests::snapshotFailures() {
    // Answers the steps in order; the session takes only the first `sessionFor` requests.
    const auto run = [](const std::vector<std::string>& answers, size_t sends, size_t sessionFor = 3) {
        ScriptedPage page;
        page.hasSession = sessionFor > 0;
        int calls = 0;
        std::optional<QByteArray> image("unset");
        PageRequests::snapshot(page.send(), false, [&](std::optional<QByteArray> bytes) {
            ++calls;
            image = std::move(bytes);
        });
        for (size_t i = 0; i < answers.size(); ++i) {
            page.hasSession = i + 1 < sessionFor;
            page.answer(i, answers[i]);
        }
        QCOMPARE(page.sent.size(), sends);
        QCOMPARE(calls, 1);
        QCOMPARE(image, std::nullopt);
    };
    const std::string measured = returned("[390,844]");
    // A viewport without width: nothing is captured.
    run({kPageEnabled, returned("[0,844]")}, 2);
    // The page gives up on the capture, or sends what is not an image.
    run({kPageEnabled, measured, R"j({"id":5,"error":{"message":"no"}})j"}, 3);
    run({kPageEnabled, measured, snapshotAnswer("data:image/png;base64,@@@@")}, 3);
    run({kPageEnabled, measured, R"j({"id":5,"result":{}})j"}, 3);
    // No session: nothing would ever answer, so the snapshot fails at once; the same when the
    // session goes before measuring, or before capturing.
    run({}, 0, 0);
    run({kPageEnabled}, 1, 1);
    run({kPageEnabled, measured}, 2, 2);
}

void TestPageRequests::requestParameters() {
    ScriptedPage page;
    QList<PropertyNode> rows;
    QStringList completions{"unset"};
    std::optional<QString> text;

    PageRequests::properties(page.send(), QStringLiteral("obj-1"),
                             [&](QList<PropertyNode> nodes) { rows = nodes; });
    PageRequests::completions(page.send(), QStringLiteral("window"),
                              [&](QStringList names) { completions = names; });
    PageRequests::serialize(page.send(), QStringLiteral("obj-2"), false,
                            [&](std::optional<QString> t) { text = t; });
    QCOMPARE(page.sent.size(), size_t(3));

    QCOMPARE(page.sent[0].method, QStringLiteral("Runtime.getProperties"));
    QCOMPARE(page.sent[0].params,
             (QJsonObject{{"objectId", "obj-1"}, {"ownProperties", true}, {"generatePreview", true}}));
    QCOMPARE(page.sent[1].method, QStringLiteral("Runtime.evaluate"));
    QCOMPARE(page.sent[1].params, (QJsonObject{{"expression", PageRequests::completionExpression("window")},
                                               {"objectGroup", "completion"},
                                               {"returnByValue", true},
                                               {"doNotPauseOnExceptionsAndMuteConsole", true}}));
    QCOMPARE(page.sent[2].method, QStringLiteral("Runtime.callFunctionOn"));
    QCOMPARE(page.sent[2].params,
             (QJsonObject{{"objectId", "obj-2"},
                          {"functionDeclaration", PageRequests::serializerFunction(false)},
                          {"returnByValue", true},
                          {"doNotPauseOnExceptionsAndMuteConsole", true}}));

    page.answer(0, propertiesAnswer({numberProperty("b"), numberProperty("a")}));
    page.answer(1, R"j({"id":2,"result":{"result":{"type":"object"},"wasThrown":true}})j");
    page.answer(2, returned("{a: 1}"));
    QCOMPARE(names(rows), (QStringList{"a", "b"}));
    QCOMPARE(completions, QStringList());
    QCOMPARE(text, std::optional<QString>("{a: 1}"));
}

QTEST_GUILESS_MAIN(TestPageRequests)
#include "tst_pagerequests.moc"
