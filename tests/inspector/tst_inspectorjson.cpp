#include "inspector/ConsoleFormatting.h"
#include "wire/InspectorJson.h"

#include <QTest>

class TestInspectorJson : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void oversizedIntegersReadAsDoubles();
    void widening_data();
    void widening();
    void paddedInputIsParsedInPlace();
};

void TestInspectorJson::parse_data() {
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("parses");
    QTest::newRow("message") << R"j({"method":"Console.messageAdded","params":{}})j" << true;
    QTest::newRow("oversized integer") << R"j({"a": 100000000000000000000})j" << true;
    QTest::newRow("truncated") << R"j({"method":)j" << false;
    QTest::newRow("not json") << "not json" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("leading zero") << R"j({"a": 01})j" << false;
    // A malformed number next to an oversized one stays malformed.
    QTest::newRow("malformed beside oversized") << R"j({"a": 100000000000000000000, "b": 1.})j" << false;
}

void TestInspectorJson::parse() {
    QFETCH(QString, json);
    QFETCH(bool, parses);
    simdjson::dom::parser parser;
    QCOMPARE(InspectorJson::parse(parser, json.toStdString()).has_value(), parses);
}

// console.log(1e20) reaches us as an integer literal that does not fit 64 bits; the message must not be
// lost for it.
void TestInspectorJson::oversizedIntegersReadAsDoubles() {
    simdjson::dom::parser parser;
    const auto root = InspectorJson::parse(
        parser, R"j({"message":{"text":"100000000000000000000","parameters":[)j"
                R"j({"type":"number","value":100000000000000000000},{"type":"number","value":-99999999999999999999},)j"
                R"j({"type":"number","value":18446744073709551615},)j"
                R"j({"type":"number","value":-9223372036854775808}]}})j");
    QVERIFY(root);
    const simdjson::dom::object message = root->at_key("message").get_object().value();
    const ConsoleEntry entry = ConsoleFormatting::entry(message, PageKey{"D", "A", 1});
    QCOMPARE(entry.text, QStringLiteral("1e+20 -1e+20 18446744073709552000 -9223372036854776000"));
    QCOMPARE(message.at_key("text").get_string().value(), std::string_view("100000000000000000000"));
}

void TestInspectorJson::widening_data() {
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("expected"); // empty: nothing to widen
    QTest::newRow("fits") << "[1, -2, 9223372036854775807, -9223372036854775808, 18446744073709551615]" << "";
    QTest::newRow("too large") << "[18446744073709551616]" << "[18446744073709551616.0]";
    QTest::newRow("too small") << "[-9223372036854775809]" << "[-9223372036854775809.0]";
    QTest::newRow("already a double") << "[100000000000000000000.5, 100000000000000000000e0]" << "";
    QTest::newRow("digits in strings") << R"j({"100000000000000000000":"1 \"100000000000000000000\""})j" << "";
    QTest::newRow("after an escaped quote") << R"j(["a\"", 100000000000000000000])j"
                                            << R"j(["a\"", 100000000000000000000.0])j";
    QTest::newRow("after an escaped backslash") << R"j(["a\\", 100000000000000000000])j"
                                                << R"j(["a\\", 100000000000000000000.0])j";
}

void TestInspectorJson::widening() {
    QFETCH(QString, json);
    QFETCH(QString, expected);
    const auto widened = InspectorJson::widenOversizedIntegers(json.toStdString());
    QCOMPARE(QString::fromStdString(widened.value_or("")), expected);
    QCOMPARE(widened.has_value(), !expected.isEmpty());
}

void TestInspectorJson::paddedInputIsParsedInPlace() {
    std::string text = R"j({"a":[1,2,3]})j";
    const size_t length = text.size();
    text.append(simdjson::SIMDJSON_PADDING, ' ');
    simdjson::dom::parser parser;
    const auto root = InspectorJson::parse(parser, std::string_view(text.data(), length), true);
    QVERIFY(root);
    QCOMPARE(root->at_key("a").get_array().value().size(), size_t(3));
}

QTEST_GUILESS_MAIN(TestInspectorJson)
#include "tst_inspectorjson.moc"
