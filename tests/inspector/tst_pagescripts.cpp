// The JavaScript that page requests run inside the page, run here in a real browser engine: the
// serialiser of remote objects and the collection of completion names.
#include "inspector/PageRequests.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>

#include <memory>

namespace {

// A page with a little DOM to serialise and complete against.
const QString kDocument = QStringLiteral(R"j(<!doctype html>
<html><body><div id="box" class="a b">text<span>inner</span></div></body></html>)j");

} // namespace

class TestPageScripts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void primitives_data();
    void primitives();
    void layout();
    void cyclesAndRepeats();
    void depthLimit();
    void datesAndErrors();
    void mapsSetsAndNodes();
    void unreadableValues();
    void propertyNames();

private:
    QVariant js(const QString& script);
    // Serialises the value of `expression` the way the page is asked to.
    QString serialize(const QString& expression, bool asJSON);

    std::unique_ptr<QWebEnginePage> m_page;
};

void TestPageScripts::initTestCase() {
    m_page = std::make_unique<QWebEnginePage>();
    QSignalSpy loaded(m_page.get(), &QWebEnginePage::loadFinished);
    m_page->setHtml(kDocument, QUrl(QStringLiteral("https://shop.example/")));
    QVERIFY(loaded.wait(30000));
    QVERIFY(loaded.first().first().toBool());
}

void TestPageScripts::cleanupTestCase() {
    m_page.reset();
}

QVariant TestPageScripts::js(const QString& script) {
    bool done = false;
    QVariant result;
    m_page->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 10000)
        QTest::qWait(5);
    if (!done)
        qWarning("script did not finish: %s", qPrintable(script.left(200)));
    return result;
}

QString TestPageScripts::serialize(const QString& expression, bool asJSON) {
    // The page applies the declaration to the object, with the object as `this`.
    const QVariant result =
        js(QStringLiteral("(%1).call(%2)").arg(PageRequests::serializerFunction(asJSON), expression));
    if (result.metaType().id() != QMetaType::QString)
        return QStringLiteral("<not a string: %1>").arg(result.toString());
    return result.toString();
}

void TestPageScripts::primitives_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("literal");
    const auto row = [](const char* name, const char* value, const char* json, const char* literal) {
        QTest::newRow(name) << QString::fromUtf8(value) << QString::fromUtf8(json)
                            << QString::fromUtf8(literal);
    };
    row("string", R"j("say \"hi\"\n")j", R"j("say \"hi\"\n")j", R"j("say \"hi\"\n")j");
    row("negative zero", "-0", "0", "0");
    row("NaN", "NaN", "null", "NaN");
    row("infinity", "-Infinity", "null", "-Infinity");
    row("null", "null", "null", "null");
    row("undefined", "undefined", "null", "undefined");
    row("bigint", "12345678901234567890n", R"j("12345678901234567890")j", "12345678901234567890n");
    row("symbol", "Symbol('tag')", R"j("Symbol(tag)")j", R"j("Symbol(tag)")j");
    row("named function", "function load(a) { return a; }", R"j("[Function load]")j", "function load() {}");
    row("anonymous function", "[function () {}][0]", R"j("[Function anonymous]")j", "function () {}");
    row("class", "class Cart {}", R"j("[Function Cart]")j", "function Cart() {}");
}

// Values inside an array, since the object being serialised is always an object.
void TestPageScripts::primitives() {
    QFETCH(QString, value);
    QFETCH(QString, json);
    QFETCH(QString, literal);
    const QString expression = QStringLiteral("[(%1)]").arg(value);
    QCOMPARE(serialize(expression, true), "[\n  " + json + "\n]");
    QCOMPARE(serialize(expression, false), "[\n  " + literal + "\n]");
}

void TestPageScripts::layout() {
    const QString value = QStringLiteral(
        R"j(({name: "cart", items: [1, [], {}, {sku: "a-1", "unit price": 2}], "2x": true, $ok: 1, _u: 0, "": 3, "é": 4}))j");
    QCOMPARE(serialize(value, true), QStringLiteral(R"j({
  "name": "cart",
  "items": [
    1,
    [],
    {},
    {
      "sku": "a-1",
      "unit price": 2
    }
  ],
  "2x": true,
  "$ok": 1,
  "_u": 0,
  "": 3,
  "é": 4
})j"));
    // Plain identifiers stay bare; everything else is quoted so that the text reads back.
    QCOMPARE(serialize(value, false), QStringLiteral(R"j({
  name: "cart",
  items: [
    1,
    [],
    {},
    {
      sku: "a-1",
      "unit price": 2
    }
  ],
  "2x": true,
  $ok: 1,
  _u: 0,
  "": 3,
  "é": 4
})j"));
    QCOMPARE(serialize(QStringLiteral("({})"), false), QStringLiteral("{}"));
    QCOMPARE(serialize(QStringLiteral("[]"), true), QStringLiteral("[]"));
    // Only own enumerable string keys.
    QCOMPARE(serialize(QStringLiteral("Object.defineProperty(Object.create({inherited: 1}), 'hidden', "
                                      "{value: 1, enumerable: false})"),
                       true),
             QStringLiteral("{}"));
    // Sparse arrays print their holes.
    QCOMPARE(serialize(QStringLiteral("[1, , 3]"), true), QStringLiteral("[\n  1,\n  null,\n  3\n]"));
    QCOMPARE(serialize(QStringLiteral("[1, , 3]"), false), QStringLiteral("[\n  1,\n  undefined,\n  3\n]"));
}

void TestPageScripts::cyclesAndRepeats() {
    QCOMPARE(serialize(QStringLiteral("(() => { const o = {id: 1}; o.self = o; return o; })()"), true),
             QStringLiteral("{\n  \"id\": 1,\n  \"self\": \"[Circular]\"\n}"));
    QCOMPARE(serialize(QStringLiteral("(() => { const a = [1]; a.push({back: a}); return a; })()"), false),
             QStringLiteral("[\n  1,\n  {\n    back: \"[Circular]\"\n  }\n]"));
    // The same object twice, but not inside itself, is printed twice.
    QCOMPARE(
        serialize(QStringLiteral("(() => { const shared = {n: 1}; return {a: shared, b: [shared]}; })()"),
                  false),
        QStringLiteral("{\n  a: {\n    n: 1\n  },\n  b: [\n    {\n      n: 1\n    }\n  ]\n}"));
}

void TestPageScripts::depthLimit() {
    // A chain {next: {next: ... {leaf: true}}} with the leaf `levels` below the object.
    auto chain = [](int levels) {
        return QStringLiteral("(() => { let o = {leaf: true}; for (let i = 1; i < %1; i++) o = {next: o}; "
                              "return o; })()")
            .arg(levels);
    };
    const QString twelve = serialize(chain(12), true);
    QVERIFY2(twelve.contains(QStringLiteral("\"leaf\": true")), qPrintable(twelve));
    QVERIFY(!twelve.contains(QStringLiteral("too deep")));
    // The leaf sits at depth 12: 12 levels of indentation.
    QVERIFY(twelve.contains(QStringLiteral("\n") + QString(24, u' ') + QStringLiteral("\"leaf\": true")));

    const QString thirteen = serialize(chain(13), true);
    QVERIFY2(thirteen.contains(QString(24, u' ') + QStringLiteral("\"leaf\": \"[too deep]\"\n")),
             qPrintable(thirteen));
    QVERIFY(!thirteen.contains(QStringLiteral("true")));

    // Arrays count the same way; an empty array at depth 13 is too deep as well.
    auto nested = [](int levels) { return QString(levels + 1, u'[') + QString(levels + 1, u']'); };
    QVERIFY(serialize(nested(13), false).contains(QString(26, u' ') + QStringLiteral("\"[too deep]\"")));
    QVERIFY(serialize(nested(12), false).contains(QString(24, u' ') + QStringLiteral("[]")));
    QVERIFY(!serialize(nested(12), false).contains(QStringLiteral("too deep")));

    // A getter below the limit is never run.
    QCOMPARE(
        serialize(chain(13).replace(QStringLiteral("{leaf: true}"),
                                    QStringLiteral("{get leaf() { window.ranGetter = true; return 1; }}")),
                  true)
            .contains(QStringLiteral("too deep")),
        true);
    QCOMPARE(js(QStringLiteral("window.ranGetter === true")).toBool(), false);
}

void TestPageScripts::datesAndErrors() {
    const QString date = QStringLiteral("new Date(Date.UTC(2024, 1, 29, 13, 5, 9, 250))");
    QCOMPARE(serialize(QStringLiteral("[%1]").arg(date), true),
             QStringLiteral("[\n  \"2024-02-29T13:05:09.250Z\"\n]"));
    QCOMPARE(serialize(QStringLiteral("[%1]").arg(date), false),
             QStringLiteral("[\n  new Date(\"2024-02-29T13:05:09.250Z\")\n]"));
    QCOMPARE(serialize(date, false), QStringLiteral("new Date(\"2024-02-29T13:05:09.250Z\")"));
    // An invalid date has no ISO text; it must not break the whole serialisation.
    QCOMPARE(serialize(QStringLiteral("[new Date(NaN)]"), true), QStringLiteral("[\n  null\n]"));
    QCOMPARE(serialize(QStringLiteral("[new Date(NaN)]"), false), QStringLiteral("[\n  new Date(NaN)\n]"));

    // This engine's stack starts with the message.
    const QString thrown =
        serialize(QStringLiteral("(() => { try { null.x; } catch (e) { return e; } })()"), true);
    QVERIFY2(thrown.startsWith(QStringLiteral("\"TypeError: Cannot read properties of null")),
             qPrintable(thrown));
    QVERIFY2(thrown.contains(QStringLiteral("\\n    at ")), qPrintable(thrown));
    // A stack of frames only (as other engines write it) keeps the message in front.
    QCOMPARE(serialize(QStringLiteral("(() => { const e = new RangeError('too far'); e.stack = "
                                      "'walk@https://shop.example/a.js:3:9'; "
                                      "return e; })()"),
                       false),
             QStringLiteral("\"RangeError: too far\\nwalk@https://shop.example/a.js:3:9\""));
    // Without a stack, the text.
    QCOMPARE(serialize(QStringLiteral(
                           "(() => { const e = new Error('plain'); e.stack = undefined; return {e}; })()"),
                       true),
             QStringLiteral("{\n  \"e\": \"Error: plain\"\n}"));
}

void TestPageScripts::mapsSetsAndNodes() {
    QCOMPARE(serialize(QStringLiteral("new Map([['a', 1], [{k: 2}, [3]]])"), true), QStringLiteral(R"j([
  [
    "a",
    1
  ],
  [
    {
      "k": 2
    },
    [
      3
    ]
  ]
])j"));
    QCOMPARE(serialize(QStringLiteral("new Set(['x', 2n])"), false), QStringLiteral("[\n  \"x\",\n  2n\n]"));
    QCOMPARE(serialize(QStringLiteral("new Map()"), true), QStringLiteral("[]"));
    QCOMPARE(serialize(QStringLiteral("(() => { const m = new Map(); m.set('me', m); return m; })()"), true),
             QStringLiteral("[\n  [\n    \"me\",\n    \"[Circular]\"\n  ]\n]"));

    QCOMPARE(serialize(QStringLiteral("document.body"), true), QStringLiteral("\"BODY\""));
    QCOMPARE(
        serialize(
            QStringLiteral(
                "({box: document.getElementById('box'), text: document.getElementById('box').firstChild, "
                "doc: document})"),
            false),
        QStringLiteral("{\n  box: \"DIV\",\n  text: \"#text\",\n  doc: \"#document\"\n}"));
}

void TestPageScripts::unreadableValues() {
    QCOMPARE(serialize(QStringLiteral("({ok: 1, get broken() { throw new Error('no access'); }})"), true),
             QStringLiteral("{\n  \"ok\": 1,\n  \"broken\": \"[unreadable: Error: no access]\"\n}"));
    // An exception that cannot even be turned into text.
    QCOMPARE(serialize(QStringLiteral("({get odd() { throw Object.create(null); }})"), false),
             QStringLiteral("{\n  odd: \"[unreadable: [object Object]]\"\n}"));
    // An object whose keys cannot be listed.
    QCOMPARE(serialize(QStringLiteral("[new Proxy({}, {ownKeys() { throw new TypeError('keys'); }})]"), true),
             QStringLiteral("[\n  \"[unreadable: TypeError: keys]\"\n]"));
    QCOMPARE(serialize(QStringLiteral("new Proxy({}, {ownKeys() { throw 'nope'; }})"), true),
             QStringLiteral("\"[unreadable: nope]\""));
    // A revoked proxy fails everything it is asked.
    QCOMPARE(serialize(QStringLiteral(
                           "(() => { const p = Proxy.revocable({}, {}); p.revoke(); return [p.proxy]; })()"),
                       true)
                 .startsWith(QStringLiteral("[\n  \"[unreadable: TypeError")),
             true);
}

void TestPageScripts::propertyNames() {
    // The expression walks from the base through its prototypes: own names first, no repeats.
    js(QStringLiteral("document.body.myOwnThing = 1"));
    const QStringList body =
        js(PageRequests::completionExpression(QStringLiteral("document.body"))).toStringList();
    QVERIFY(body.contains(QStringLiteral("myOwnThing")));
    const qsizetype own = body.indexOf(QStringLiteral("myOwnThing"));
    const qsizetype bodyProto = body.indexOf(QStringLiteral("aLink"));         // HTMLBodyElement.prototype
    const qsizetype element = body.indexOf(QStringLiteral("click"));           // HTMLElement.prototype
    const qsizetype target = body.indexOf(QStringLiteral("addEventListener")); // EventTarget.prototype
    const qsizetype object = body.indexOf(QStringLiteral("hasOwnProperty"));   // Object.prototype
    QVERIFY(own >= 0 && bodyProto > own && element > bodyProto && target > element && object > target);
    QCOMPARE(body.count(QStringLiteral("constructor")), 1);

    const QStringList global = js(PageRequests::completionExpression(std::nullopt)).toStringList();
    QVERIFY(global.contains(QStringLiteral("document")));
    QVERIFY(global.contains(QStringLiteral("setTimeout")));

    // A base that throws, or that is nothing, gives no names.
    QCOMPARE(js(PageRequests::completionExpression(QStringLiteral("noSuchThing.here"))).toStringList(),
             QStringList());
    QCOMPARE(js(PageRequests::completionExpression(QStringLiteral("undefined"))).toStringList(),
             QStringList());
    // A primitive base completes with its wrapper's names.
    QVERIFY(js(PageRequests::completionExpression(QStringLiteral("'abc'")))
                .toStringList()
                .contains(QStringLiteral("toUpperCase")));

    // Own names first, in their order, as a plain array of strings.
    const QVariant names = js(QStringLiteral("JSON.stringify(%1)")
                                  .arg(PageRequests::completionExpression(QStringLiteral("({b: 1, a: 2})"))));
    QVERIFY2(names.toString().startsWith(QStringLiteral("[\"b\",\"a\",\"constructor\",")),
             qPrintable(names.toString()));
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    for (const QByteArray& flag : {QByteArray("--no-sandbox"), QByteArray("--disable-gpu")})
        if (!flags.contains(flag))
            flags += (flags.isEmpty() ? "" : " ") + flag;
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestPageScripts test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pagescripts.moc"
