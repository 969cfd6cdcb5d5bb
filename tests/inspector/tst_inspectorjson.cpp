#include "wire/InspectorJson.h"

#include <QTest>

class TestInspectorJson : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

// console.log(1e20) reaches us as an integer literal that does not fit 64 bits; the message must not
// be lost for it: such integers are read as the doubles they were in the page.
void TestInspectorJson::parse_data() {
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("parses");
    QTest::addColumn<QString>("widened"); // empty: nothing to widen
    const auto row = [](const char* json, bool parses, const char* widened) {
        QTest::newRow(json) << QString(json) << parses << QString(widened);
    };
    row(R"j({"method":"Console.messageAdded","params":{}})j", true, "");
    row("[1, -2, 9223372036854775807, -9223372036854775808, 18446744073709551615]", true, "");
    row("[18446744073709551616]", true, "[18446744073709551616.0]");
    row("[-9223372036854775809]", true, "[-9223372036854775809.0]");
    row("[100000000000000000000.5, 100000000000000000000e0]", true, "");
    row(R"j({"100000000000000000000":"1 \"100000000000000000000\""})j", true, "");
    row(R"j(["a\"", 100000000000000000000])j", true, R"j(["a\"", 100000000000000000000.0])j");
    row(R"j(["a\\", 100000000000000000000])j", true, R"j(["a\\", 100000000000000000000.0])j");
    row(R"j({"method":)j", false, "");
    row("", false, "");
    row(R"j({"a": 01})j", false, "");
    // A malformed number next to an oversized one stays malformed.
    row(R"j({"a": 100000000000000000000, "b": 1.})j", false, R"j({"a": 100000000000000000000.0, "b": 1.})j");
}

void TestInspectorJson::parse() {
    QFETCH(QString, json);
    QFETCH(bool, parses);
    QFETCH(QString, widened);
    simdjson::dom::parser parser;
    QCOMPARE(InspectorJson::parse(parser, json.toStdString()).has_value(), parses);
    const auto wide = InspectorJson::widenOversizedIntegers(json.toStdString());
    QCOMPARE(QString::fromStdString(wide.value_or("")), widened);
    QCOMPARE(wide.has_value(), !widened.isEmpty());
}

QTEST_GUILESS_MAIN(TestInspectorJson)
#include "tst_inspectorjson.moc"
