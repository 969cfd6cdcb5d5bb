#include "JsonFixture.h"

#include "inspector/ConsoleFormatting.h"
#include "wire/InspectorJson.h"

#include <QTest>

class TestConsoleFormatting : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void messages_data();
    void messages();
    void render_data();
    void render();
};

// console.log(1e20) reaches us as an integer literal that does not fit 64 bits; the message must not
// be lost for it: such integers are read as the doubles they were in the page.
void TestConsoleFormatting::parse_data() {
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("parses");
    QTest::addColumn<QString>("widened"); // empty: nothing to widen
    QTest::addColumn<QString>("first");   // the first string of an array, when given
    const auto row = [](const char* json, bool parses, const char* widened, const char* first = "") {
        QTest::newRow(json) << QString(json) << parses << QString(widened) << QString::fromUtf8(first);
    };
    row("[1, -2, 9223372036854775807, -9223372036854775808, 18446744073709551615]", true, "");
    row("[18446744073709551616]", true, "[18446744073709551616.0]");
    row("[-9223372036854775809]", true, "[-9223372036854775809.0]");
    row(R"j({"100000000000000000000":"1 \"100000000000000000000\"", "f": [1e20, 100000000000000000000.5]})j",
        true, "");
    row(R"j(["a\"", "b\\", 100000000000000000000])j", true, R"j(["a\"", "b\\", 100000000000000000000.0])j");
    // A malformed number next to an oversized one stays malformed.
    row(R"j({"a": 100000000000000000000, "b": 1.})j", false, R"j({"a": 100000000000000000000.0, "b": 1.})j");
    // A lone half of a surrogate pair ('\u{1F600}'.slice(0, 1) in a page) reads as U+FFFD; pairs stay.
    row(R"j(["\ud83d"])j", true, "", "\uFFFD");
    row(R"j(["a\udc00b\ud83d\ud83d\ude00\\ud83d"])j", true, "", "a\uFFFDb\uFFFD\U0001F600\\ud83d");
    row(R"j(["\ud83d\u0041", {"\udfff": 1}, 100000000000000000000])j", true,
        R"j(["\ud83d\u0041", {"\udfff": 1}, 100000000000000000000.0])j", "\uFFFDA");
    row(R"j(["\ud83d", 01])j", false, "");
}

void TestConsoleFormatting::parse() {
    QFETCH(QString, json);
    QFETCH(bool, parses);
    QFETCH(QString, widened);
    QFETCH(QString, first);
    simdjson::dom::parser parser;
    const auto root = InspectorJson::parse(parser, json.toStdString());
    QCOMPARE(root.has_value(), parses);
    if (!first.isEmpty())
        QCOMPARE(QString::fromStdString(std::string(root->at(0).get_string().value())), first);
    const auto wide = InspectorJson::widenOversizedIntegers(json.toStdString());
    QCOMPARE(QString::fromStdString(wide.value_or("")), widened);
    QCOMPARE(wide.has_value(), !widened.isEmpty());
}

// Each field that is missing or of the wrong type falls back on its own; the others still count.
void TestConsoleFormatting::messages_data() {
    QTest::addColumn<QString>("message");
    // text|line|repeat count|url|source|level, then the frames, then the objects as "#id=label"
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* name, const char* message, const char* expected) {
        QTest::newRow(name) << QString::fromUtf8(message) << QString::fromUtf8(expected);
    };
    // The label of an object is the text it already has in the message.
    row("full",
        R"j({"source": "console-api", "level": "warning", "text": "ignored", "url": "https://e.com/app.js",)j"
        R"j( "line": 42, "repeatCount": 3, "parameters": [{"type": "string", "value": "%s has %d items"},)j"
        R"j(  {"type": "string", "value": "cart"}, {"type": "number", "value": 2}, {"subtype": "null", "objectId": "n"},)j"
        R"j(  {"objectId": "{\"id\":9}", "preview": {"properties": [{"name": "id", "type": "number", "value": "5"}]}},)j"
        R"j(  {"type":"function","objectId":"f","description":"function go() {}"}, {"objectId": 17}],)j"
        R"j( "stackTrace": {"callFrames": [{"functionName": "add", "url": "a.js", "lineNumber": 42, "columnNumber": 7},)j"
        R"j(  {"functionName": "", "url": "a.js", "lineNumber": 10}]}})j",
        R"j(cart has 2 items null {id: 5} ƒ go() Object|42|3|https://e.com/app.js|console-api|warning|)j"
        R"j(add a.js 42:7|(anonymous) a.js 10:0|#{"id":9}={id: 5}|#f=ƒ go())j");
    row("empty, mistyped text", R"j({"text": ["t"]})j", "|0|1||other|log");
    row("uncaught exception, empty parameters, a frame not an object",
        R"j({"source": "javascript", "level": "log", "text": "TypeError: a", "line": 1.5, "repeatCount": -4,)j"
        R"j( "parameters": [], "stackTrace": [{}, 3]})j",
        "TypeError: a|0|1||javascript|error");
    row("mistyped line, whole-number count",
        R"j({"text": "t", "line": "12", "url": "u", "repeatCount": 2.0, "level": "info", "source": {}})j",
        "t|0|2|u|other|info");
    // Parameters and stack of the wrong shape, each in a way of its own, give neither.
    row("mistyped url, level, parameters and stack",
        R"j({"text": "t", "line": 12.0, "url": 5, "level": 3, "source": "x", "parameters": {"type": "string"},)j"
        R"j( "stackTrace": "at f (a.js:1)"})j",
        "t|12|1||x|log");
    row("numbers out of range, a parameter and a frame not objects",
        R"j({"text": "t", "line": 1e30, "repeatCount": 18446744073709551615, "stackTrace": {"frames": []},)j"
        R"j( "parameters": [{"type": "string", "value": "x"}, 1]})j",
        "t|0|1||other|log");
    row("unicode and escapes",
        R"j({"parameters": [{"type": "string", "value": "caf\u00e9 %s \"q\" \\ 🎉"},)j"
        R"j( {"type": "string", "value": "na\u00efve\n2"}]})j",
        "café naïve\n2 \"q\" \\ 🎉|0|1||other|log");
    row("stack as a bare array",
        R"j({"stackTrace": [{"functionName": "a", "url": "u", "lineNumber": 5, "columnNumber": 6},)j"
        R"j( {"url": "u"}, {"functionName": 7, "lineNumber": "9", "columnNumber": 2.5}]})j",
        "|0|1||other|log|a u 5:6|(anonymous) u 0:0|(anonymous)  0:0");
}

void TestConsoleFormatting::messages() {
    QFETCH(QString, message);
    QFETCH(QString, expected);
    const PageKey page{"DEVICE", "PID:42", 7};
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const ConsoleEntry e = ConsoleFormatting::entry(JsonFixture(message.toStdString()).object(), page);
    QVERIFY(e.page == page && e.receivedAt >= before && e.receivedAt <= QDateTime::currentDateTimeUtc());
    QStringList got{e.text,   QString::number(e.line), QString::number(e.repeatCount), e.url,
                    e.source, rawValue(e.level)};
    for (const StackFrame& frame : e.stack)
        got << QStringLiteral("%1 %2 %3:%4").arg(frame.function, frame.url).arg(frame.line).arg(frame.column);
    for (const RemoteObjectRef& object : e.objects)
        got << u'#' + object.objectID + u'=' + object.label;
    QCOMPARE(got.join(u'|'), expected);
}

// Console arguments: a leading format string applied, the others described and joined with spaces.
void TestConsoleFormatting::render_data() {
    QTest::addColumn<QString>("parameters");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* name, const QStringList& items, const char* expected) {
        QTest::newRow(name) << "[" + items.join(',') + "]" << QString::fromUtf8(expected);
    };
    const auto s = [](const char* value) {
        return QStringLiteral(R"j({"type":"string","value":"%1"})j").arg(value);
    };
    const auto n = [](const char* value) {
        return QStringLiteral(R"j({"type":"number","value":%1})j").arg(value);
    };
    const auto fn = [](const char* text) {
        return QStringLiteral(R"j({"type":"function","description":"%1"})j").arg(text);
    };
    const QString obj = R"j({"type":"object","objectId":"o1","description":"Object"})j";
    row("percent signs", {s("%d%% of 100%"), n("50")}, "50% of 100%");
    row("style consumed, no numeric conversion", {s("%cred %d"), s("color: red"), n("3.7"), n("1")},
        "red 3.7 1");
    row("too few arguments, unknown specifiers", {s("%x é%ü %s and %d"), s("a")}, "%x é%ü a and %d");
    row("only the first string is a format", {s("a"), s("%s"), s("b")}, "a %s b");
    row("first argument not a string", {n("5"), s("%s")}, "5 %s");
    row("objects by %o and %s", {s("got %o [%s]"), obj, obj}, "got Object [Object]");
    row("%s of a string without value, of a number",
        {s("[%s] [%s]"), R"j({"type":"string","description":"d"})j", n("4")}, "[] [4]");
    row("empty string argument keeps spacing", {s("a"), s(""), s("b")}, "a  b");
    row("format without value is described", {R"j({"type":"string","description":"50%"})j", n("1")}, "50% 1");
    // How each kind of remote object is described.
    row("numbers",
        {n("-2.50"), n("-0.0"), n("999999999999999"), n("1e15"), n("1.5e-7"), n("0.00012"),
         n("1.2345678901234568e20"), n("18446744073709551615"), n("\"5\""),
         R"j({"type":"number","description":"-0"})j"},
        "-2.5 0 999999999999999 1e+15 1.5e-07 0.00012 123456789012345680000 18446744073709552000 NaN -0");
    row("strings, booleans, undefined and symbols",
        {R"j({"type":"string","description":"d"})j", R"j({"type":"boolean","value":true})j",
         R"j({"type":"boolean","value":"true","description":"d"})j", R"j({"type":"boolean"})j",
         R"j({"type":"undefined"})j", R"j({"type":"symbol","description":"Symbol(tag)","objectId":"s"})j",
         R"j({"type":"symbol"})j"},
        "d true d ? undefined Symbol(tag) symbol");
    row("functions",
        {fn("async function run(a) {}"), fn("function foo"), fn("(x) => x * 2"),
         fn("class Foo extends Bar {}"), fn("function bound greet() { [native code] }"),
         R"j({"type":"function"})j"},
        "ƒ run() ƒ foo() ƒ () ƒ class() ƒ bound greet() ƒ ()");
    row("objects without previews",
        {R"j({"type":"object","subtype":"null","value":null})j", R"j({"subtype":"null","preview":{}})j",
         R"j({"description":"Window"})j", R"j({"type":"accessor","className":"Thing"})j", R"j({"type":7})j",
         R"j({"subtype":"map","description":"Map","size":3})j", R"j({"description":"Set","size":"3"})j",
         R"j({"description":"Object","preview":"{a: 1}"})j"},
        "null null Window Thing Object Map(3) Set Object");
    row("object previews",
        {R"j({"preview":{"overflow":true,"properties":[{"name":"a","type":"number","value":"1"},)j"
         R"j({"name":"b","type":"string","value":"x"},{"type":"number"}]}})j",
         R"j({"description":"Point","preview":{"properties":[{"name":"a","value":"1"}]}})j",
         R"j({"description":"Object","preview":{"properties":[]}})j",
         R"j({"description":"Big","preview":{"overflow":true}})j",
         R"j({"preview":{"properties":[{"name":"in","valuePreview":{"properties":[{"name":"z","value":"0"}]}}]}})j"},
        R"j({a: 1, b: "x", ?: …, …} Point {a: 1} {} Big {…} {in: {z: 0}})j");
    row("array previews",
        {R"j({"subtype":"array","preview":{"overflow":true,"properties":[{"type":"number","value":"1"},)j"
         R"j({"type":"string","value":"two"},{"type":"object","subtype":"null","value":"null"}]}})j",
         R"j({"preview":{"subtype":"array","properties":[{"value":"7"}]}})j",
         R"j({"subtype":"array","preview":{"subtype":"map","properties":[]}})j"},
        R"j([1, "two", null, …] [7] [])j");
    row("map and set previews",
        {R"j({"subtype":"map","description":"Map(2)","preview":{"entries":[{"key":{"type":"string","value":"k"},)j"
         R"j("value":{"type":"number","value":1}},{"key":{"type":"string","value":"j"}}]}})j",
         R"j({"subtype":"set","preview":{"overflow":true,"entries":[{"value":{"description":"b"}}]}})j",
         R"j({"subtype":"map","description":"Map(0)","preview":{"properties":[]}})j"},
        "Map(2) {k => 1, j => …} set {b, …} Map(0)");
    row("error previews",
        {R"j({"subtype":"error","description":"TypeError: boom","preview":{"properties":[{"value":"x"}]}})j",
         R"j({"subtype":"error","preview":{"properties":[{"type":"string","value":"E"},{"value":"4"}]}})j"},
        R"j(TypeError: boom "E" 4)j");
}

void TestConsoleFormatting::render() {
    QFETCH(QString, parameters);
    QFETCH(QString, expected);
    const JsonFixture json(parameters.toStdString());
    std::vector<simdjson::dom::object> objects;
    for (simdjson::dom::element item : json.array())
        objects.push_back(item.get_object().value());
    std::string out;
    ConsoleFormatting::render(out, objects);
    QCOMPARE(QString::fromStdString(out), expected);
}

QTEST_GUILESS_MAIN(TestConsoleFormatting)
#include "tst_consoleformatting.moc"
