#include "inspector/JsonFixture.h"
#include "inspector/PageRequests.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {

std::string compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

// An evaluation answer whose value is returned by value.
std::string returned(const QJsonValue& value, bool thrown = false) {
    QJsonObject result{{"result", QJsonObject{{"type", "object"}, {"value", value}}}};
    if (thrown)
        result.insert("wasThrown", true);
    return compact({{"id", 9}, {"result", result}});
}

std::string propertiesAnswer(const QStringList& names) {
    QJsonArray descriptors;
    for (const QString& name : names)
        descriptors.append(
            QJsonObject{{"name", name}, {"value", QJsonObject{{"type", "number"}, {"value", 1}}}});
    return compact({{"id", 4}, {"result", QJsonObject{{"properties", descriptors}}}});
}

// Each row as "name=value", with "#objectID" when it can be expanded.
QStringList rowsOf(std::string_view answer) {
    const JsonFixture json(answer);
    QStringList rows;
    for (const PropertyNode& node : PageRequests::nodes(json.root))
        rows << node.name + u'=' + node.value + (node.objectID ? u'#' + *node.objectID : QString());
    return rows;
}

// Stands in for a page's session: records what is sent and lets the test answer it.
struct ScriptedPage {
    struct Sent {
        QString method;
        QJsonObject params;
        PageRequests::Handler handler;
    };
    bool hasSession = true;
    std::vector<Sent> sent;

    PageRequests::Send send() {
        return [this](const QString& method, const QJsonObject& params, PageRequests::Handler handler) {
            if (hasSession)
                sent.push_back({method, params, std::move(handler)});
            return hasSession;
        };
    }
    void answer(size_t index, std::string_view json) {
        QVERIFY(index < sent.size());
        sent[index].handler(JsonFixture(json).root);
    }
};

const std::string kPageEnabled = R"j({"id":1,"result":{}})j";
const std::string kMeasured = returned("[390,844]");
const std::string kImage = R"j({"id":5,"result":{"dataURL":"data:image/png;base64,aGVsbG8="}})j";

} // namespace

class TestPageRequests : public QObject {
    Q_OBJECT

private slots:
    void propertyRows_data();
    void propertyRows();
    void propertyOrder_data();
    void propertyOrder();
    void returnedValues_data();
    void returnedValues();
    void dataURLs_data();
    void dataURLs();
    void snapshotSteps();
};

void TestPageRequests::propertyRows_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("rows");
    // A null carries an object id in some answers; there is nothing to expand in it. An accessor is not
    // read: reading it could run page code. Descriptors without a name are left out.
    QTest::newRow("values") << R"j({"id":3,"result":{"properties":[
        {"name":"count","value":{"type":"number","value":42}},
        {"name":"child","value":{"objectId":"{\"id\":7}","preview":{"properties":[{"name":"a","value":"1"}]}}},
        {"name":"nothing","value":{"type":"object","subtype":"null","objectId":"8","value":null}},
        {"name":"size","get":{"type":"function","objectId":"9"}}, {"name":"hole"},
        {"value":{"type":"number","value":1}}, {"name":17,"value":{}}, "not a descriptor"]}})j"
                            << QStringList{R"j(child={a: 1}#{"id":7})j", "count=42", "hole=(no value)",
                                           "nothing=null", "size=(getter)"};
    // An object the page no longer holds, in the page's words.
    QTest::newRow("error") << R"j({"id":3,"error":{"code":-32000,"message":"Could not find object"}})j"
                           << QStringList{"=Could not find object"};
    QTest::newRow("error without message")
        << R"j({"id":3,"error":{}})j" << QStringList{"=value is no longer available"};
    QTest::newRow("no properties") << R"j({"id":3,"result":{}})j" << QStringList();
    QTest::newRow("properties not a list") << R"j({"id":3,"result":{"properties":{}}})j" << QStringList();
    QTest::newRow("not an object") << "[1,2]" << QStringList();
}

void TestPageRequests::propertyRows() {
    QFETCH(QString, answer);
    QFETCH(QStringList, rows);
    QCOMPARE(rowsOf(answer.toStdString()), rows);
}

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
    QTest::newRow("numbers inside names")
        << QStringList{"item10", "Item2", "item1"} << QStringList{"item1", "Item2", "item10"};
    QTest::newRow("internals among themselves")
        << QStringList{"__proto__", "__defineGetter__", "__10", "__2"}
        << QStringList{"__2", "__10", "__defineGetter__", "__proto__"};
    QTest::newRow("not quite integers") << QStringList{"1e3", "1.5", "7"} << QStringList{"7", "1.5", "1e3"};
    QTest::newRow("64-bit bounds") << QStringList{"9223372036854775808", "-9223372036854775808",
                                                  "9223372036854775807", "007"}
                                   << QStringList{"-9223372036854775808", "007", "9223372036854775807",
                                                  "9223372036854775808"};
    QTest::newRow("only ASCII digits")
        << QStringList{" 1", "\u0662", "3"} << QStringList{"3", " 1", "\u0662"};
}

void TestPageRequests::propertyOrder() {
    QFETCH(QStringList, given);
    QFETCH(QStringList, expected);
    QCOMPARE(rowsOf(propertiesAnswer(given)).replaceInStrings(QStringLiteral("=1"), QString()), expected);
}

// One answer to an evaluation read as completion names, as serialised text and as a page size.
void TestPageRequests::returnedValues_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("expected"); // names | text | size; "-" for nothing
    const auto row = [](const char* name, const std::string& answer, const char* expected) {
        QTest::newRow(name) << QString::fromStdString(answer) << QString(expected);
    };
    row("names", returned(QJsonArray{"body", "head"}), "body,head | - | -");
    row("one name not a string", returned(QJsonArray{"a", 1}), "- | - | -");
    row("array not text", returned(QJsonArray{390, 844}), "- | - | -");
    row("thrown", returned(QJsonArray{"x"}, true), "- | - | -");
    row("empty text", returned(""), "- |  | -");
    row("text", returned("{a: 1}"), "- | {a: 1} | -");
    row("size", kMeasured, "- | [390,844] | 390x844");
    row("fractions truncate", returned("[390.9, 844.2]"), "- | [390.9, 844.2] | 390x844");
    row("negative height", returned("[390,-1]"), "- | [390,-1] | -");
    row("below one pixel", returned("[0.5,844]"), "- | [0.5,844] | -");
    row("size not numbers", returned(R"(["390","844"])"), R"(- | ["390","844"] | -)");
    row("NaN became null", returned("[null,844]"), "- | [null,844] | -");
    row("beyond 64 bits", returned("[18446744073709551615,844]"), "- | [18446744073709551615,844] | -");
    row("three numbers", returned("[1,2,3]"), "- | [1,2,3] | -");
    row("number", returned(3), "- | - | -");
    row("error", R"j({"id":2,"error":{"message":"gone"}})j", "- | - | -");
    row("no value", R"j({"id":2,"result":{"result":{"type":"undefined"}}})j", "- | - | -");
}

void TestPageRequests::returnedValues() {
    QFETCH(QString, answer);
    QFETCH(QString, expected);
    const JsonFixture json(answer.toStdString());
    const QStringList names = PageRequests::completionNames(json.root);
    const auto text = PageRequests::serialized(json.root);
    const auto size = PageRequests::snapshotSize(json.root);
    const QString got = (names.isEmpty() ? "-" : names.join(u',')) + " | " + text.value_or("-") + " | " +
                        (size ? QStringLiteral("%1x%2").arg(size->width).arg(size->height) : "-");
    QCOMPARE(got, expected);
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
    const std::string utf8 = url.toStdString();
    QCOMPARE(PageRequests::dataURLBytes(utf8).value_or(QByteArray()), bytes);
}

// A snapshot ends with one answer, at the step where it failed or with the image. Whatever the page
// says to enabling, it goes on.
void TestPageRequests::snapshotSteps() {
    // Answers the steps in order; the session takes only the first `sessionFor` requests.
    const auto run = [](const std::vector<std::string>& answers, size_t sends, size_t sessionFor = 3,
                        std::optional<QByteArray> image = std::nullopt) {
        ScriptedPage page;
        page.hasSession = sessionFor > 0;
        std::vector<std::optional<QByteArray>> images;
        PageRequests::snapshot(page.send(), false,
                               [&](std::optional<QByteArray> bytes) { images.push_back(bytes); });
        for (size_t i = 0; i < answers.size(); ++i) {
            QCOMPARE(page.sent.size(), i + 1); // one step at a time
            QVERIFY(images.empty());
            page.hasSession = i + 1 < sessionFor;
            page.answer(i, answers[i]);
        }
        QCOMPARE(page.sent.size(), sends);
        QCOMPARE(images, (std::vector<std::optional<QByteArray>>{image}));
    };
    run({R"j({"id":1,"error":{"message":"already enabled"}})j", kMeasured, kImage}, 3, 3, "hello");
    run({kPageEnabled, returned("[0,844]")}, 2);
    run({kPageEnabled, kMeasured, R"j({"id":5,"error":{"message":"no"}})j"}, 3);
    run({kPageEnabled, kMeasured, R"j({"id":5,"result":{"dataURL":"data:image/png;base64,@@@@"}})j"}, 3);
    run({kPageEnabled, kMeasured, R"j({"id":5,"result":{}})j"}, 3);
    // No session: nothing would ever answer, so the snapshot fails at once; the same when the
    // session goes before measuring, or before capturing.
    run({}, 0, 0);
    run({kPageEnabled}, 1, 1);
    run({kPageEnabled, kMeasured}, 2, 2);
}

QTEST_GUILESS_MAIN(TestPageRequests)
#include "tst_pagerequests.moc"
