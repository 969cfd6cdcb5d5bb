#include "inspector/JsonFixture.h"
#include "inspector/PageRequests.h"

#include <QTest>

namespace {

// An evaluation answer with the value (JSON text) returned by value.
std::string returned(std::string_view value, bool thrown = false) {
    return R"j({"id":9,"result":{"result":{"type":"object","value":)j" + std::string(value) + "}" +
           (thrown ? R"j(,"wasThrown":true)j" : "") + "}}";
}

std::string propertiesAnswer(const QStringList& names) {
    QStringList descriptors;
    for (const QString& name : names)
        descriptors << QStringLiteral(R"j({"name":"%1","value":{"type":"number","value":1}})j").arg(name);
    return QStringLiteral(R"j({"id":4,"result":{"properties":[%1]}})j")
        .arg(descriptors.join(u','))
        .toStdString();
}

// Each row as "name=value", with "#objectID" when it can be expanded.
QStringList rowsOf(std::string_view answer) {
    QStringList rows;
    for (const PropertyNode& node : PageRequests::nodes(JsonFixture(answer).root))
        rows << node.name + u'=' + node.value + (node.objectID ? u'#' + *node.objectID : QString());
    return rows;
}

const std::string kPageEnabled = R"j({"id":1,"result":{}})j";
const std::string kMeasured = returned(R"j("[390,844]")j");
// A capture's answer with that data URL.
std::string captured(std::string_view url) {
    return R"j({"id":5,"result":{"dataURL":")j" + std::string(url) + "\"}}";
}

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
    // An object the page no longer holds: in the page's words (the connection suite shows), else these.
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

// Names given in that order, and the order they are shown in.
void TestPageRequests::propertyOrder_data() {
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* given, const char* expected) {
        QTest::newRow(given) << given << expected;
    };
    row("10,__proto__,b,2,A", "2,10,A,b,__proto__");
    row("+3,-1,x,-20,0", "-20,-1,0,+3,x");
    // Beyond 64 bits a run of digits is an ordinary name, ordered with numbers inside names.
    row("99999999999999999999,a,9223372036854775807", "9223372036854775807,99999999999999999999,a");
    row("9223372036854775808,-9223372036854775808,007", "-9223372036854775808,007,9223372036854775808");
    row("item10,Item2,__proto__,__10,item1,__2", "item1,Item2,item10,__2,__10,__proto__");
    row("1e3,1.5,7, 1,\u0662", "7, 1,1.5,1e3,\u0662");
}

void TestPageRequests::propertyOrder() {
    QFETCH(QString, given);
    QFETCH(QString, expected);
    QCOMPARE(rowsOf(propertiesAnswer(given.split(u','))).replaceInStrings("=1", "").join(u','), expected);
}

// One answer to an evaluation read as completion names, as serialised text and as a page size.
void TestPageRequests::returnedValues_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("expected"); // names | text | size; "-" for nothing
    const auto row = [](const char* name, const std::string& answer, const char* expected) {
        QTest::newRow(name) << QString::fromStdString(answer) << QString(expected);
    };
    row("names", returned(R"j(["body","head"])j"), "body,head | - | -");
    row("one name not a string", returned(R"j(["a",1])j"), "- | - | -");
    row("thrown", returned(R"j(["x"])j", true), "- | - | -");
    row("empty text", returned(R"j("")j"), "- |  | -");
    row("text", returned(R"j("{a: 1}")j"), "- | {a: 1} | -");
    row("size", kMeasured, "- | [390,844] | 390x844");
    row("fractions truncate", returned(R"j("[390.9, 844.2]")j"), "- | [390.9, 844.2] | 390x844");
    row("below one pixel", returned(R"j("[390,0.5]")j"), "- | [390,0.5] | -");
    row("size not numbers", returned(R"j("[\"390\",\"844\"]")j"), R"(- | ["390","844"] | -)");
    row("beyond 64 bits", returned(R"j("[18446744073709551615,844]")j"),
        "- | [18446744073709551615,844] | -");
    row("error", R"j({"id":2,"error":{"message":"gone"}})j", "- | - | -");
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

// A snapshot ends with one answer, at the step where it failed or with the image. Whatever the page
// says to enabling, it goes on.
void TestPageRequests::snapshotSteps() {
    // Answers the steps in order; the session takes only the first `sessionFor` requests.
    const auto run = [](const std::vector<std::string>& answers, size_t sends, size_t sessionFor = 3,
                        std::optional<QByteArray> image = std::nullopt) {
        // Stands in for the page's session, keeping what it is sent to be answered.
        std::vector<PageRequests::Handler> sent;
        bool session = sessionFor > 0;
        const auto send = [&](const QString&, const QJsonObject&, PageRequests::Handler handler) {
            if (session)
                sent.push_back(std::move(handler));
            return session;
        };
        std::vector<std::optional<QByteArray>> images;
        PageRequests::snapshot(send, false,
                               [&](std::optional<QByteArray> bytes) { images.push_back(bytes); });
        for (size_t i = 0; i < answers.size(); ++i) {
            QCOMPARE(sent.size(), i + 1); // one step at a time
            QVERIFY(images.empty());
            session = i + 1 < sessionFor;
            sent[i](JsonFixture(answers[i]).root);
        }
        QCOMPARE(sent.size(), sends);
        QCOMPARE(images, (std::vector<std::optional<QByteArray>>{image}));
    };
    run({R"j({"id":1,"error":{"message":"already enabled"}})j", kMeasured, captured("data:;base64,aGVsbG8=")},
        3, 3, "hello");
    run({kPageEnabled, kMeasured, captured("data:text/plain;a=b,c;base64,aGVsbG8=")}, 3, 3, "hello");
    run({kPageEnabled, returned(R"j("[0,844]")j")}, 2);
    run({kPageEnabled, kMeasured, R"j({"id":5,"error":{"message":"no"}})j"}, 3);
    run({kPageEnabled, kMeasured, R"j({"id":5,"result":{}})j"}, 3);
    // Only whole, valid Base64 after the last comma.
    for (const char* url : {"data:;base64,aGVsbG8", "data:;base64,aGVs*bG8=", "data:;base64,"})
        run({kPageEnabled, kMeasured, captured(url)}, 3);
    // No session: nothing would ever answer, so the snapshot fails at once; the same when the
    // session goes before measuring, or before capturing.
    run({}, 0, 0);
    run({kPageEnabled}, 1, 1);
    run({kPageEnabled, kMeasured}, 2, 2);
}

QTEST_GUILESS_MAIN(TestPageRequests)
#include "tst_pagerequests.moc"
