#include "TestConsoleFormatting.h"

#include "JsonFixture.h"

#include "inspector/ConsoleFormatting.h"

#include <QTest>

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

using namespace ConsoleFormatting;

namespace {

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

// The objects of a JSON array, as the parameters of a console message.
std::vector<simdjson::dom::object> objectsOf(const JsonFixture& json) {
    std::vector<simdjson::dom::object> objects;
    for (simdjson::dom::element item : json.array())
        objects.push_back(item.get_object().value());
    return objects;
}

const PageKey page{"DEVICE", "PID:42", 7};

} // namespace

void TestConsoleFormatting::fullMessage() {
    const JsonFixture json(
        R"j({"source": "console-api", "level": "warning", "text": "ignored when there are parameters",)j"
        R"j( "type": "log", "url": "https://example.com/static/app.js", "line": 42, "column": 7,)j"
        R"j( "repeatCount": 3, "parameters": [)j"
        R"j(  {"type": "string", "value": "%s has %d items"},)j"
        R"j(  {"type": "string", "value": "cart"},)j"
        R"j(  {"type": "number", "value": 2, "description": "2"},)j"
        R"j(  {"type": "object", "objectId": "{\"injectedScriptId\":1,\"id\":9}", "className": "Object",)j"
        R"j(   "description": "Object", "preview": {"type": "object", "description": "Object", "overflow": false,)j"
        R"j(   "properties": [{"name": "id", "type": "number", "value": "5"}]}}],)j"
        R"j( "stackTrace": {"callFrames": [)j"
        R"j(  {"functionName": "addToCart", "url": "https://example.com/static/app.js", "lineNumber": 42,)j"
        R"j(   "columnNumber": 7, "scriptId": "3"},)j"
        R"j(  {"functionName": "", "url": "https://example.com/static/app.js", "lineNumber": 10,)j"
        R"j(   "columnNumber": 1, "scriptId": "3"}]}})j");
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const ConsoleEntry e = entry(json.object(), page);

    QCOMPARE(e.page, page);
    QCOMPARE(e.level, ConsoleLevel::warning);
    QCOMPARE(e.source, QStringLiteral("console-api"));
    QCOMPARE(e.text, QStringLiteral("cart has 2 items {id: 5}"));
    QCOMPARE(e.location(), std::optional<QString>("app.js:42"));
    QCOMPARE(e.repeatCount, qint64(3));
    QVERIFY(e.receivedAt >= before && e.receivedAt <= QDateTime::currentDateTimeUtc());
    QCOMPARE(e.stack.size(), 2);
    QCOMPARE(e.stack[1].function, QStringLiteral("(anonymous)"));
    QCOMPARE(e.objects, (QList<RemoteObjectRef>{{R"j({"injectedScriptId":1,"id":9})j", "{id: 5}"}}));

    // An empty message: every field takes its default.
    const JsonFixture empty("{}");
    const ConsoleEntry blank = entry(empty.object(), page);
    QCOMPARE(blank.source, QStringLiteral("other"));
    QCOMPARE(blank.level, ConsoleLevel::log);
    QCOMPARE(blank.repeatCount, qint64(1));
    QCOMPARE(blank.location(), std::nullopt);
}

void TestConsoleFormatting::uncaughtExceptionUsesText() {
    const JsonFixture json(
        R"j({"source": "javascript", "level": "log", "url": "https://x.test/a.js", "line": 3, "column": 12,)j"
        R"j( "text": "TypeError: undefined is not an object (evaluating 'a.b')",)j"
        R"j( "stackTrace": [{"functionName": "f", "url": "https://x.test/a.js", "lineNumber": 3, "columnNumber": 12}]})j");
    const ConsoleEntry e = entry(json.object(), page);
    QCOMPARE(e.level, ConsoleLevel::error);
    QCOMPARE(e.source, QStringLiteral("javascript"));
    QCOMPARE(e.text, QStringLiteral("TypeError: undefined is not an object (evaluating 'a.b')"));
    QCOMPARE(e.stack.size(), 1);
    QCOMPARE(e.stack[0].function, QStringLiteral("f"));
}

// Each field that is missing or of the wrong type falls back on its own; the others still count.
void TestConsoleFormatting::mistypedFieldsCountAsAbsent_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("line");
    QTest::addColumn<qint64>("repeatCount");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("source");
    QTest::addColumn<ConsoleLevel>("level");

    const auto row = [](const char* name, const char* message, const char* text, qint64 line,
                        qint64 repeatCount, const char* url, const char* source, ConsoleLevel level) {
        QTest::newRow(name) << QString(message) << QString(text) << line << repeatCount << QString(url)
                            << QString(source) << level;
    };
    const auto log = ConsoleLevel::log;
    row("line as text", R"j({"text": "t", "line": "12", "url": "u"})j", "t", 0, 1, "u", "other", log);
    row("url as number", R"j({"text": "t", "line": 12, "url": 5})j", "t", 12, 1, "", "other", log);
    row("level as number", R"j({"text": "t", "level": 3, "source": "javascript"})j", "t", 0, 1, "",
        "javascript", ConsoleLevel::error);
    row("source as object", R"j({"text": "t", "level": "info", "source": {}})j", "t", 0, 1, "", "other",
        ConsoleLevel::info);
    row("text as array", R"j({"text": ["t"], "line": 4})j", "", 4, 1, "", "other", log);
    row("whole-number doubles", R"j({"text": "t", "line": 12.0, "repeatCount": 2.0})j", "t", 12, 2, "",
        "other", log);
    row("fractional line", R"j({"text": "t", "line": 1.5})j", "t", 0, 1, "", "other", log);
    row("line beyond 64 bits", R"j({"text": "t", "line": 1e30})j", "t", 0, 1, "", "other", log);
    row("line as unsigned beyond int64", R"j({"text": "t", "line": 18446744073709551615})j", "t", 0, 1, "",
        "other", log);
    row("repeat count negative", R"j({"text": "t", "repeatCount": -4})j", "t", 0, 1, "", "other", log);
    row("empty parameters keep the text", R"j({"text": "hello", "parameters": []})j", "hello", 0, 1, "",
        "other", log);
    row("parameters as object keep the text",
        R"j({"text": "hello", "parameters": {"type": "string", "value": "x"}})j", "hello", 0, 1, "", "other",
        log);
}

void TestConsoleFormatting::mistypedFieldsCountAsAbsent() {
    QFETCH(QString, message);
    QFETCH(QString, text);
    QFETCH(qint64, line);
    QFETCH(qint64, repeatCount);
    QFETCH(QString, url);
    QFETCH(QString, source);
    QFETCH(ConsoleLevel, level);
    const JsonFixture json(message.toStdString());
    const ConsoleEntry e = entry(json.object(), page);
    QCOMPARE(e.text, text);
    QCOMPARE(e.line, line);
    QCOMPARE(e.repeatCount, repeatCount);
    QCOMPARE(e.url, url);
    QCOMPARE(e.source, source);
    QCOMPARE(e.level, level);
}

void TestConsoleFormatting::unicodeAndEscapesSurvive() {
    const JsonFixture json(R"j({"parameters": [{"type": "string", "value": "caf\u00e9 %s \"q\" \\ 🎉"},)j"
                           R"j( {"type": "string", "value": "na\u00efve\n2"}]})j");
    QCOMPARE(entry(json.object(), page).text, QString::fromUtf8("café naïve\n2 \"q\" \\ 🎉"));
}

void TestConsoleFormatting::render_data() {
    QTest::addColumn<QString>("parameters");
    QTest::addColumn<QString>("expected");

    const auto s = [](const char* value) {
        return QStringLiteral(R"j({"type":"string","value":"%1"})j").arg(value);
    };
    const auto n = [](const char* value) {
        return QStringLiteral(R"j({"type":"number","value":%1,"description":"%1"})j").arg(value);
    };
    const QString obj = R"j({"type":"object","objectId":"o1","className":"Object","description":"Object"})j";
    const QString yes = R"j({"type":"boolean","value":true})j";
    const auto list = [](const QStringList& items) { return "[" + items.join(',') + "]"; };

    QTest::newRow("string and number") << list({s("%s is %d"), s("x"), n("5")}) << "x is 5";
    QTest::newRow("missing argument stays") << list({s("%s")}) << "%s";
    QTest::newRow("lone percent sign") << list({s("100%")}) << "100%";
    QTest::newRow("style consumed") << list({s("%cred"), s("color: red"), n("1")}) << "red 1";
    QTest::newRow("only a style") << list({s("%c"), s("color: red")}) << "";
    QTest::newRow("no format, everything joined") << list({s("a"), n("1"), yes}) << "a 1 true";
    QTest::newRow("escaped percent") << list({s("%d%%"), n("50")}) << "50%";
    QTest::newRow("no numeric conversion") << list({s("%d"), n("3.7")}) << "3.7";
    QTest::newRow("too few arguments") << list({s("%s and %s and %d"), s("a")}) << "a and %s and %d";
    QTest::newRow("unknown specifier") << list({s("%x %s"), s("y")}) << "%x y";
    QTest::newRow("extra arguments appended") << list({s("%s"), s("a"), s("b"), n("3")}) << "a b 3";
    QTest::newRow("only the first string is a format") << list({s("a"), s("%s"), s("b")}) << "a %s b";
    QTest::newRow("first argument not a string") << list({n("5"), s("%s")}) << "5 %s";
    QTest::newRow("object with %o") << list({s("got %o"), obj}) << "got Object";
    QTest::newRow("%s of an object is its description") << list({s("[%s]"), obj}) << "[Object]";
    QTest::newRow("%s of a string without value")
        << list({s("[%s]"), R"j({"type":"string","description":"d"})j"}) << "[]";
    QTest::newRow("%s of a number without description")
        << list({s("[%s]"), R"j({"type":"number","value":4})j"}) << "[4]";
    QTest::newRow("non-ASCII after percent") << list({s("é%ü %s"), s("x")}) << "é%ü x";
    QTest::newRow("empty string argument keeps spacing") << list({s("a"), s(""), s("b")}) << "a  b";
    QTest::newRow("format string without value is described")
        << list({R"j({"type":"string","description":"50%"})j", n("1")}) << "50% 1";
}

void TestConsoleFormatting::render() {
    QFETCH(QString, parameters);
    QFETCH(QString, expected);
    const JsonFixture json(parameters.toStdString());
    const auto objects = objectsOf(json);
    std::string out;
    ConsoleFormatting::render(out, objects);
    QCOMPARE(fromUtf8(out), expected);
}

void TestConsoleFormatting::substituteConsumesFromTheFront() {
    const JsonFixture json(
        R"j([{"type":"string","value":"a"},{"type":"string","value":"b"},{"type":"string","value":"c"}])j");
    const auto objects = objectsOf(json);
    Parameters rest(objects);
    std::string out;
    substitute(out, "%c%s", rest);
    QCOMPARE(fromUtf8(out), QStringLiteral("b"));
    QCOMPARE(rest.size(), size_t(1));
    QCOMPARE(rest.data(), objects.data() + 2);
}

void TestConsoleFormatting::describe_data() {
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* name, const char* object, const char* expected) {
        QTest::newRow(name) << QString(object) << QString(expected);
    };

    row("string", R"j({"type":"string","value":"hi"})j", "hi");
    row("string from description", R"j({"type":"string","description":"desc"})j", "desc");
    row("string with nothing", R"j({"type":"string"})j", "");
    row("true", R"j({"type":"boolean","value":true})j", "true");
    row("boolean as text", R"j({"type":"boolean","value":"true","description":"d"})j", "d");
    row("boolean with nothing", R"j({"type":"boolean"})j", "?");
    row("integer", R"j({"type":"number","value":3,"description":"3"})j", "3");
    row("trailing zero dropped", R"j({"type":"number","value":2.50})j", "2.5");
    row("unsigned 64-bit", R"j({"type":"number","value":18446744073709551615})j", "18446744073709552000");
    row("NaN by description", R"j({"type":"number","description":"NaN"})j", "NaN");
    row("minus zero by description", R"j({"type":"number","description":"-0"})j", "-0");
    row("number with nothing", R"j({"type":"number"})j", "NaN");
    row("number as text", R"j({"type":"number","value":"5"})j", "NaN");
    row("undefined", R"j({"type":"undefined"})j", "undefined");
    row("symbol", R"j({"type":"symbol","description":"Symbol(tag)","objectId":"s"})j", "Symbol(tag)");
    row("symbol without description", R"j({"type":"symbol"})j", "symbol");
    row("named function", R"j({"type":"function","description":"function greet(name) { return name; }"})j",
        "ƒ greet()");
    row("class", R"j({"type":"function","description":"class Point { }"})j", "ƒ class()");
    row("function without description", R"j({"type":"function"})j", "ƒ ()");
    row("null", R"j({"type":"object","subtype":"null","value":null})j", "null");
    row("null with preview", R"j({"type":"object","subtype":"null","preview":{"properties":[]}})j", "null");
    row("missing type is an object", R"j({"description":"Window"})j", "Window");
    row("unknown type is an object", R"j({"type":"accessor","className":"Thing"})j", "Thing");
    row("plain object, nothing known", R"j({"type":"object"})j", "Object");
    row("sized", R"j({"type":"object","subtype":"map","description":"Map","size":3})j", "Map(3)");
    row("size as text ignored", R"j({"type":"object","description":"Set","size":"3"})j", "Set");
    row("type as number", R"j({"type":7,"description":"D"})j", "D");
    row("preview that is not an object", R"j({"type":"object","description":"Object","preview":"{a: 1}"})j",
        "Object");

    // Objects with previews.
    row("plain object",
        R"j({"type":"object","description":"Object","preview":{"type":"object","description":"Object",)j"
        R"j("overflow":false,"properties":[{"name":"a","type":"number","value":"1"},)j"
        R"j({"name":"b","type":"string","value":"x"}]}})j",
        R"j({a: 1, b: "x"})j");
    row("class instance",
        R"j({"type":"object","description":"Point","preview":{"type":"object","overflow":false,"properties":[)j"
        R"j({"name":"a","type":"number","value":"1"},{"name":"b","type":"string","value":"x"}]}})j",
        R"j(Point {a: 1, b: "x"})j");
    row("empty plain object",
        R"j({"type":"object","description":"Object","preview":{"overflow":false,"properties":[]}})j", "{}");
    row("no description means Object",
        R"j({"type":"object","preview":{"properties":[{"name":"k","type":"boolean","value":"true"}]}})j",
        "{k: true}");
    row("overflowing object",
        R"j({"type":"object","description":"Object","preview":{"overflow":true,)j"
        R"j("properties":[{"name":"a","type":"number","value":"1"}]}})j",
        "{a: 1, …}");
    row("overflow alone", R"j({"type":"object","description":"Big","preview":{"overflow":true}})j",
        "Big {…}");
    row("nameless property and missing value",
        R"j({"type":"object","description":"Object","preview":{"properties":[{"type":"number"}]}})j",
        "{?: …}");
    row("nested previews",
        R"j({"type":"object","description":"Object","preview":{"properties":[)j"
        R"j({"name":"inner","type":"object","value":"Object","valuePreview":{"type":"object",)j"
        R"j("description":"Object","properties":[{"name":"z","type":"number","value":"0"}]}},)j"
        R"j({"name":"list","type":"object","subtype":"array","value":"Array(2)","valuePreview":{"type":"object",)j"
        R"j("subtype":"array","description":"Array(2)","properties":[{"name":"0","type":"number","value":"1"},)j"
        R"j({"name":"1","type":"number","value":"2"}]}}]}})j",
        "{inner: {z: 0}, list: [1, 2]}");
    row("array",
        R"j({"type":"object","subtype":"array","description":"Array(3)","preview":{"type":"object",)j"
        R"j("subtype":"array","description":"Array(3)","overflow":false,"properties":[)j"
        R"j({"name":"0","type":"number","value":"1"},{"name":"1","type":"string","value":"two"},)j"
        R"j({"name":"2","type":"object","subtype":"null","value":"null"}]}})j",
        R"j([1, "two", null])j");
    row("array with overflow",
        R"j({"type":"object","subtype":"array","description":"Array(200)","preview":{"overflow":true,)j"
        R"j("properties":[{"name":"0","type":"number","value":"0"},{"name":"1","type":"number","value":"1"}]}})j",
        "[0, 1, …]");
    row("subtype from the preview",
        R"j({"type":"object","preview":{"subtype":"array","properties":[{"type":"number","value":"7"}]}})j",
        "[7]");
    row("map",
        R"j({"type":"object","subtype":"map","description":"Map(1)","preview":{"type":"object","subtype":"map",)j"
        R"j("description":"Map(1)","overflow":false,"entries":[)j"
        R"j({"key":{"type":"string","description":"k"},"value":{"type":"number","description":"1"}}]}})j",
        "Map(1) {k => 1}");
    row("map without description",
        R"j({"type":"object","subtype":"map","preview":{"entries":[)j"
        R"j({"key":{"type":"string","description":"k"},"value":{"type":"object","description":"Object"}}]}})j",
        "map {k => Object}");
    row("set with overflow",
        R"j({"type":"object","subtype":"set","description":"Set(9)","preview":{"overflow":true,"entries":[)j"
        R"j({"value":{"type":"number","description":"1"}},{"value":{"type":"string","description":"b"}}]}})j",
        "Set(9) {1, b, …}");
    row("map entry without value",
        R"j({"type":"object","subtype":"map","description":"Map(1)",)j"
        R"j("preview":{"entries":[{"key":{"type":"string","description":"k"}}]}})j",
        "Map(1) {k => …}");
    row("map without entries is an object",
        R"j({"type":"object","subtype":"map","description":"Map(0)","preview":{"properties":[]}})j",
        "Map(0)");
    row("error with description",
        R"j({"type":"object","subtype":"error","description":"TypeError: boom","preview":{"subtype":"error",)j"
        R"j("properties":[{"name":"message","type":"string","value":"boom"}]}})j",
        "TypeError: boom");
    row("error without description",
        R"j({"type":"object","subtype":"error","preview":{"properties":[)j"
        R"j({"name":"name","type":"string","value":"E"},{"name":"line","type":"number","value":"4"}]}})j",
        R"j("E" 4)j");
    row("given subtype wins over the preview's",
        R"j({"type":"object","subtype":"array","preview":{"subtype":"map","properties":[]}})j", "[]");
}

void TestConsoleFormatting::describe() {
    QFETCH(QString, object);
    QFETCH(QString, expected);
    const JsonFixture json(object.toStdString());
    QCOMPARE(ConsoleFormatting::describe(json.object()), expected);
}

void TestConsoleFormatting::stacks_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("frames"); // "function url line:column"

    QTest::newRow("call frames")
        << R"j({"callFrames":[{"functionName":"a","url":"u1","lineNumber":1,)j"
           R"j("columnNumber":2},{"functionName":"b","url":"u2","lineNumber":3,"columnNumber":4}]})j"
        << QStringList{"a u1 1:2", "b u2 3:4"};
    QTest::newRow("bare array") << R"j([{"functionName":"a","url":"u","lineNumber":5,"columnNumber":6}])j"
                                << QStringList{"a u 5:6"};
    QTest::newRow("empty and missing names")
        << R"j([{"functionName":""},{"url":"u"},{"functionName":7}])j"
        << QStringList{"(anonymous)  0:0", "(anonymous) u 0:0", "(anonymous)  0:0"};
    QTest::newRow("mistyped numbers")
        << R"j([{"functionName":"f","lineNumber":"9","columnNumber":2.5}])j" << QStringList{"f  0:0"};
    QTest::newRow("not a stack") << R"j("at f (a.js:1)")j" << QStringList{};
    QTest::newRow("call frames missing") << R"j({"frames":[]})j" << QStringList{};
    QTest::newRow("array with non-object") << R"j([{"functionName":"a"}, 3])j" << QStringList{};
}

void TestConsoleFormatting::stacks() {
    QFETCH(QString, value);
    QFETCH(QStringList, frames);
    const JsonFixture json(value.toStdString());
    QStringList got;
    for (const StackFrame& frame : stack(json.root()))
        got << QStringLiteral("%1 %2 %3:%4").arg(frame.function, frame.url).arg(frame.line).arg(frame.column);
    QCOMPARE(got, frames);
}

void TestConsoleFormatting::references() {
    const JsonFixture json(
        R"j([{"type":"string","value":"s"},)j"
        R"j({"type":"object","subtype":"null","value":null,"objectId":"null-id"},)j"
        R"j({"type":"object","objectId":"obj-1","description":"Object","preview":{"properties":[]}},)j"
        R"j({"type":"number","value":5},)j"
        R"j("not an object",)j"
        R"j({"type":"function","objectId":"fn-1","description":"function go() {}"},)j"
        R"j({"type":"object","objectId":17,"description":"numeric id"}])j");
    const QList<RemoteObjectRef> refs = ConsoleFormatting::references(json.array());
    QCOMPARE(refs, (QList<RemoteObjectRef>{{"obj-1", "{}"}, {"fn-1", "ƒ go()"}}));
}

void TestConsoleFormatting::trimmedNumbers_data() {
    QTest::addColumn<double>("number");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("minus zero") << -0.0 << "0";
    QTest::newRow("negative") << -42.0 << "-42";
    QTest::newRow("below 1e15") << 999999999999999.0 << "999999999999999";
    QTest::newRow("1e15") << 1e15 << "1e+15";
    QTest::newRow("2^53") << 9007199254740992.0 << "9007199254740992";
    QTest::newRow("sum of tenths") << 0.1 + 0.2 << "0.30000000000000004";
    QTest::newRow("small") << 1.5e-7 << "1.5e-07";
    QTest::newRow("large with fraction") << 1234567890123456.7 << "1234567890123456.8";
    // Plain notation never shows digits the double does not carry.
    QTest::newRow("1.2345678901234568e20") << 1.2345678901234568e20 << "123456789012345680000";
    QTest::newRow("1e21") << 1e21 << "1e+21";
    QTest::newRow("largest double") << 1.7976931348623157e308 << "1.7976931348623157e+308";
    QTest::newRow("smallest subnormal") << 5e-324 << "5e-324";
    QTest::newRow("NaN") << std::nan("") << "NaN";
    QTest::newRow("infinity") << HUGE_VAL << "Infinity";
}

void TestConsoleFormatting::trimmedNumbers() {
    QFETCH(double, number);
    QFETCH(QString, expected);
    const std::string text = trimmed(number);
    QCOMPARE(fromUtf8(text), expected);
    if (std::isfinite(number)) {
        double readBack = 0;
        std::from_chars(text.data(), text.data() + text.size(), readBack);
        QCOMPARE(readBack, number); // the text reads back as the same double
    }
}

void TestConsoleFormatting::functionNames_data() {
    QTest::addColumn<QString>("description"); // a null string stands for none
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* name, const QString& description, const char* expected) {
        QTest::newRow(name) << description << QString(expected);
    };
    row("none", QString(), "");
    row("named", "function foo(a, b) { }", "foo");
    row("anonymous", "function () {}", "");
    row("keyword later in the text", "async function run() {}", "run");
    row("no parenthesis after the name", "function foo", "foo");
    row("arrow", "(x) => x * 2", "");
    row("class", "class Foo extends Bar {}", "class");
    row("bound", "function bound greet() {\n    [native code]\n}", "bound greet");
}

void TestConsoleFormatting::functionNames() {
    QFETCH(QString, description);
    QFETCH(QString, expected);
    const std::string text = description.toStdString();
    const auto name =
        functionName(description.isNull() ? std::nullopt : std::optional<std::string_view>(text));
    QCOMPARE(QString::fromUtf8(name.data(), qsizetype(name.size())), expected);
}

QTEST_GUILESS_MAIN(TestConsoleFormatting)
