#include "JsonFixture.h"

#include "inspector/ConsoleFormatting.h"

#include <QTest>

using namespace ConsoleFormatting;

namespace {

const PageKey kPage{"DEVICE", "PID:42", 7};

} // namespace

class TestConsoleFormatting : public QObject {
    Q_OBJECT

private slots:
    void fullMessage();
    void messageFields_data();
    void messageFields();
    void render_data();
    void render();
    void describe_data();
    void describe();
    void references();
};

void TestConsoleFormatting::fullMessage() {
    const JsonFixture json(
        R"j({"source": "console-api", "level": "warning", "text": "ignored", "url": "https://e.com/app.js",)j"
        R"j( "line": 42, "repeatCount": 3, "parameters": [{"type": "string", "value": "%s has %d items"},)j"
        R"j(  {"type": "string", "value": "cart"}, {"type": "number", "value": 2},)j"
        R"j(  {"type": "object", "objectId": "{\"id\":9}", "description": "Object", "preview": {)j"
        R"j(   "properties": [{"name": "id", "type": "number", "value": "5"}]}}],)j"
        R"j( "stackTrace": {"callFrames": [{"functionName": "add", "url": "a.js", "lineNumber": 42},)j"
        R"j(  {"functionName": "", "url": "a.js", "lineNumber": 10}]}})j");
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const ConsoleEntry e = entry(json.object(), kPage);
    QCOMPARE(e.page, kPage);
    QCOMPARE(e.level, ConsoleLevel::warning);
    QCOMPARE(e.source, QStringLiteral("console-api"));
    QCOMPARE(e.text, QStringLiteral("cart has 2 items {id: 5}"));
    QCOMPARE(e.location(), std::optional<QString>("app.js:42"));
    QCOMPARE(e.repeatCount, qint64(3));
    QVERIFY(e.receivedAt >= before && e.receivedAt <= QDateTime::currentDateTimeUtc());
    QCOMPARE(e.stack.size(), 2);
    QCOMPARE(e.stack[1].function, QStringLiteral("(anonymous)"));
    // The label of an object is the text it already has in the message.
    QCOMPARE(e.objects, (QList<RemoteObjectRef>{{R"j({"id":9})j", "{id: 5}"}}));
}

// Each field that is missing or of the wrong type falls back on its own; the others still count.
void TestConsoleFormatting::messageFields_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected"); // text|line|repeat count|url|source|level, then the frames
    const auto row = [](const char* name, const char* message, const char* expected) {
        QTest::newRow(name) << QString::fromUtf8(message) << QString::fromUtf8(expected);
    };
    row("empty", "{}", "|0|1||other|log");
    row("uncaught exception", R"j({"source": "javascript", "level": "log", "text": "TypeError: a"})j",
        "TypeError: a|0|1||javascript|error");
    row("mistyped line, whole-number count",
        R"j({"text": "t", "line": "12", "url": "u", "repeatCount": 2.0, "level": "info", "source": {}})j",
        "t|0|2|u|other|info");
    row("mistyped text, url and level",
        R"j({"text": ["t"], "line": 12.0, "url": 5, "level": 3, "source": "x"})j", "|12|1||x|log");
    row("numbers out of range", R"j({"text": "t", "line": 1e30, "repeatCount": 18446744073709551615})j",
        "t|0|1||other|log");
    row("fraction and negative count", R"j({"text": "t", "line": 1.5, "repeatCount": -4})j",
        "t|0|1||other|log");
    row("empty parameters", R"j({"text": "hello", "parameters": []})j", "hello|0|1||other|log");
    row("parameters as object", R"j({"text": "hi", "parameters": {"type": "string", "value": "x"}})j",
        "hi|0|1||other|log");
    row("parameter not an object", R"j({"text": "hi", "parameters": [{"type": "string", "value": "x"}, 1]})j",
        "hi|0|1||other|log");
    row("unicode and escapes",
        R"j({"parameters": [{"type": "string", "value": "caf\u00e9 %s \"q\" \\ 🎉"},)j"
        R"j( {"type": "string", "value": "na\u00efve\n2"}]})j",
        "café naïve\n2 \"q\" \\ 🎉|0|1||other|log");
    row("stack as a bare array",
        R"j({"stackTrace": [{"functionName": "a", "url": "u", "lineNumber": 5, "columnNumber": 6},)j"
        R"j( {"url": "u"}, {"functionName": 7, "lineNumber": "9", "columnNumber": 2.5}]})j",
        "|0|1||other|log|a u 5:6|(anonymous) u 0:0|(anonymous)  0:0");
    row("stack of text", R"j({"stackTrace": "at f (a.js:1)"})j", "|0|1||other|log");
    row("call frames missing", R"j({"stackTrace": {"frames": []}})j", "|0|1||other|log");
    row("frame not an object", R"j({"stackTrace": [{"functionName": "a"}, 3]})j", "|0|1||other|log");
}

void TestConsoleFormatting::messageFields() {
    QFETCH(QString, message);
    QFETCH(QString, expected);
    const JsonFixture json(message.toStdString());
    const ConsoleEntry e = entry(json.object(), kPage);
    QStringList got{e.text,   QString::number(e.line), QString::number(e.repeatCount), e.url,
                    e.source, rawValue(e.level)};
    for (const StackFrame& frame : e.stack)
        got << QStringLiteral("%1 %2 %3:%4").arg(frame.function, frame.url).arg(frame.line).arg(frame.column);
    QCOMPARE(got.join(u'|'), expected);
}

void TestConsoleFormatting::render_data() {
    QTest::addColumn<QString>("parameters");
    QTest::addColumn<QString>("expected");
    const auto s = [](const char* value) {
        return QStringLiteral(R"j({"type":"string","value":"%1"})j").arg(value);
    };
    const auto n = [](const char* value) {
        return QStringLiteral(R"j({"type":"number","value":%1})j").arg(value);
    };
    const QString obj = R"j({"type":"object","objectId":"o1","description":"Object"})j";
    const auto row = [](const char* name, const QStringList& items, const char* expected) {
        QTest::newRow(name) << "[" + items.join(',') + "]" << QString::fromUtf8(expected);
    };
    row("string and number", {s("%s is %d"), s("x"), n("5")}, "x is 5");
    row("lone percent sign", {s("100%")}, "100%");
    row("style consumed", {s("%cred"), s("color: red"), n("1")}, "red 1");
    row("no format, everything joined", {s("a"), n("1"), R"j({"type":"boolean","value":true})j"}, "a 1 true");
    row("escaped percent", {s("%d%%"), n("50")}, "50%");
    row("no numeric conversion", {s("%d"), n("3.7")}, "3.7");
    row("too few arguments", {s("%s and %s and %d"), s("a")}, "a and %s and %d");
    row("only the first string is a format", {s("a"), s("%s"), s("b")}, "a %s b");
    row("first argument not a string", {n("5"), s("%s")}, "5 %s");
    row("object with %o", {s("got %o"), obj}, "got Object");
    row("%s of an object is its description", {s("[%s]"), obj}, "[Object]");
    row("%s of a string without value", {s("[%s]"), R"j({"type":"string","description":"d"})j"}, "[]");
    row("%s of a number without description", {s("[%s]"), n("4")}, "[4]");
    row("unknown specifiers", {s("%x é%ü %s"), s("x")}, "%x é%ü x");
    row("empty string argument keeps spacing", {s("a"), s(""), s("b")}, "a  b");
    row("format without value is described", {R"j({"type":"string","description":"50%"})j", n("1")}, "50% 1");
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

// Each row describes a list of remote objects, one description per object.
void TestConsoleFormatting::describe_data() {
    QTest::addColumn<QString>("objects");
    QTest::addColumn<QString>("expected"); // joined with " | "
    const auto row = [](const char* name, const QString& objects, const char* expected) {
        QTest::newRow(name) << objects << QString::fromUtf8(expected);
    };
    const auto each = [](const char* format, const QStringList& values) {
        QStringList objects;
        for (const QString& value : values)
            objects << QString::fromLatin1(format).arg(value);
        return "[" + objects.join(',') + "]";
    };
    row("strings and booleans",
        R"j([{"type":"string","value":"hi"},{"type":"string","description":"d"},{"type":"string"},)j"
        R"j({"type":"boolean","value":true},{"type":"boolean","value":"true","description":"d"},{"type":"boolean"}])j",
        "hi | d |  | true | d | ?");
    row("numbers",
        each(R"j({"type":"number","value":%1})j",
             {"2.50", "-0.0", "999999999999999", "1e15", "0.30000000000000004", "1.5e-7",
              "1234567890123456.7", "1.2345678901234568e20", "1e21", "5e-324", "18446744073709551615",
              "\"5\""}),
        "2.5 | 0 | 999999999999999 | 1e+15 | 0.30000000000000004 | 1.5e-07 | 1234567890123456.8 | "
        "123456789012345680000 | 1e+21 | 5e-324 | 18446744073709552000 | NaN");
    row("numbers by description", R"j([{"type":"number","description":"-0"},{"type":"number"}])j",
        "-0 | NaN");
    row("undefined and symbols",
        R"j([{"type":"undefined"},{"type":"symbol","description":"Symbol(tag)","objectId":"s"},{"type":"symbol"}])j",
        "undefined | Symbol(tag) | symbol");
    row("functions",
        each(R"j({"type":"function","description":"%1"})j",
             {"function greet(a) { return a; }", "function () {}", "async function run() {}", "function foo",
              "(x) => x * 2", "class Foo extends Bar {}", "function bound greet() { [native code] }"}),
        "ƒ greet() | ƒ () | ƒ run() | ƒ foo() | ƒ () | ƒ class() | ƒ bound greet()");
    row("objects without previews",
        R"j([{"type":"object","subtype":"null","value":null},{"subtype":"null","preview":{"properties":[]}},)j"
        R"j({"description":"Window"},{"type":"accessor","className":"Thing"},{"type":7},{"type":"function"},)j"
        R"j({"subtype":"map","description":"Map","size":3},{"description":"Set","size":"3"},)j"
        R"j({"description":"Object","preview":"{a: 1}"}])j",
        "null | null | Window | Thing | Object | ƒ () | Map(3) | Set | Object");
    row("object previews",
        R"j([{"preview":{"overflow":true,"properties":[{"name":"a","type":"number","value":"1"},)j"
        R"j({"name":"b","type":"string","value":"x"},{"type":"number"}]}},)j"
        R"j({"description":"Point","preview":{"properties":[{"name":"a","value":"1"}]}},)j"
        R"j({"description":"Object","preview":{"properties":[]}},{"description":"Big","preview":{"overflow":true}},)j"
        R"j({"preview":{"properties":[{"name":"in","valuePreview":{"properties":[{"name":"z","value":"0"}]}}]}}])j",
        R"j({a: 1, b: "x", ?: …, …} | Point {a: 1} | {} | Big {…} | {in: {z: 0}})j");
    row("array previews",
        R"j([{"subtype":"array","preview":{"overflow":true,"properties":[{"type":"number","value":"1"},)j"
        R"j({"type":"string","value":"two"},{"type":"object","subtype":"null","value":"null"}]}},)j"
        R"j({"preview":{"subtype":"array","properties":[{"value":"7"}]}},)j"
        R"j({"subtype":"array","preview":{"subtype":"map","properties":[]}}])j",
        R"j([1, "two", null, …] | [7] | [])j");
    row("map and set previews",
        R"j([{"subtype":"map","description":"Map(2)","preview":{"entries":[{"key":{"type":"string","value":"k"},)j"
        R"j("value":{"type":"number","value":1}},{"key":{"type":"string","value":"j"}}]}},)j"
        R"j({"subtype":"set","preview":{"overflow":true,"entries":[{"value":{"description":"b"}}]}},)j"
        R"j({"subtype":"map","description":"Map(0)","preview":{"properties":[]}}])j",
        "Map(2) {k => 1, j => …} | set {b, …} | Map(0)");
    row("error previews",
        R"j([{"subtype":"error","description":"TypeError: boom","preview":{"properties":[{"name":"m","value":"x"}]}},)j"
        R"j({"subtype":"error","preview":{"properties":[{"type":"string","value":"E"},{"value":"4"}]}}])j",
        R"j(TypeError: boom | "E" 4)j");
}

void TestConsoleFormatting::describe() {
    QFETCH(QString, objects);
    QFETCH(QString, expected);
    const JsonFixture json(objects.toStdString());
    QStringList got;
    for (simdjson::dom::element object : json.array())
        got << ConsoleFormatting::describe(object.get_object().value());
    QCOMPARE(got.join(" | "), expected);
}

void TestConsoleFormatting::references() {
    const JsonFixture json(R"j([{"type":"string","value":"s"},{"subtype":"null","objectId":"null-id"},)j"
                           R"j({"objectId":"obj-1","preview":{"properties":[]}},"not an object",)j"
                           R"j({"type":"function","objectId":"fn-1","description":"function go() {}"},)j"
                           R"j({"type":"object","objectId":17,"description":"numeric id"}])j");
    QCOMPARE(ConsoleFormatting::references(json.array()),
             (QList<RemoteObjectRef>{{"obj-1", "{}"}, {"fn-1", "ƒ go()"}}));
}

QTEST_GUILESS_MAIN(TestConsoleFormatting)
#include "tst_consoleformatting.moc"
