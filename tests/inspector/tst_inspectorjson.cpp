#include "TestInspectorJson.h"

#include "inspector/ConsoleFormatting.h"
#include "wire/InspectorJson.h"

#include <QTest>

void TestInspectorJson::ordinaryMessage() {
    simdjson::dom::parser parser;
    const auto root = InspectorJson::parse(parser, R"j({"method":"Console.messageAdded","params":{}})j");
    QVERIFY(root);
    QCOMPARE(root->at_key("method").get_string().value(), std::string_view("Console.messageAdded"));
}

void TestInspectorJson::malformedInputGivesNothing() {
    simdjson::dom::parser parser;
    QVERIFY(!InspectorJson::parse(parser, R"j({"method":)j"));
    QVERIFY(!InspectorJson::parse(parser, "not json"));
    QVERIFY(!InspectorJson::parse(parser, ""));
    QVERIFY(!InspectorJson::parse(parser, R"j({"a": 01})j"));
    // A malformed number next to an oversized one stays malformed.
    QVERIFY(!InspectorJson::parse(parser, R"j({"a": 100000000000000000000, "b": 1.})j"));
}

// console.log(1e20) reaches us as an integer literal that does not fit 64 bits; the message must not be
// lost for it.
void TestInspectorJson::oversizedIntegersReadAsDoubles() {
    simdjson::dom::parser parser;
    const auto root = InspectorJson::parse(
        parser,
        R"j({"message":{"level":"log","text":"100000000000000000000 -99999999999999999999","parameters":[)j"
        R"j({"type":"number","value":100000000000000000000,"description":"100000000000000000000"},)j"
        R"j({"type":"number","value":-99999999999999999999},)j"
        R"j({"type":"number","value":18446744073709551615},)j"
        R"j({"type":"number","value":-9223372036854775808}]}})j");
    QVERIFY(root);
    const simdjson::dom::object message = root->at_key("message").get_object().value();
    const ConsoleEntry entry = ConsoleFormatting::entry(message, PageKey{"D", "A", 1});
    QCOMPARE(entry.text, QStringLiteral("1e+20 -1e+20 18446744073709552000 -9223372036854776000"));
    // Digits inside strings are left alone.
    QCOMPARE(message.at_key("text").get_string().value(),
             std::string_view("100000000000000000000 -99999999999999999999"));
}

void TestInspectorJson::widening_data() {
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("expected"); // empty: nothing to widen
    QTest::newRow("fits") << R"j([1, -2, 9223372036854775807, -9223372036854775808, 18446744073709551615])j"
                          << "";
    QTest::newRow("too large") << "[18446744073709551616]"
                               << "[18446744073709551616.0]";
    QTest::newRow("too small") << "[-9223372036854775809]"
                               << "[-9223372036854775809.0]";
    QTest::newRow("already a double") << "[100000000000000000000.5, 100000000000000000000e0]"
                                      << "";
    QTest::newRow("long fraction untouched") << "[1.000000000000000000000001]"
                                             << "";
    QTest::newRow("digits in strings untouched")
        << R"j({"100000000000000000000":"100000000000000000000 \"100000000000000000000\""})j"
        << "";
    QTest::newRow("after an escaped quote") << R"j(["a\"", 100000000000000000000])j"
                                            << R"j(["a\"", 100000000000000000000.0])j";
    QTest::newRow("after an escaped backslash") << R"j(["a\\", 100000000000000000000])j"
                                                << R"j(["a\\", 100000000000000000000.0])j";
}

void TestInspectorJson::widening() {
    QFETCH(QString, json);
    QFETCH(QString, expected);
    const auto widened = InspectorJson::widenOversizedIntegers(json.toStdString());
    if (expected.isEmpty())
        QVERIFY(!widened);
    else
        QCOMPARE(QString::fromStdString(widened.value_or("")), expected);
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
