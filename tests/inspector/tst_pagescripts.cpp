// The JavaScript that page requests run inside the page, run here in a real browser engine: the
// serialiser of remote objects and the collection of completion names.
#include "inspector/PageRequests.h"

#include <QApplication>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>

#include <memory>

class TestPageScripts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void serialize_data();
    void serialize();
    void propertyNames();

private:
    QVariant js(const QString& script);

    std::unique_ptr<QWebEnginePage> m_page;
};

void TestPageScripts::initTestCase() {
    m_page = std::make_unique<QWebEnginePage>();
    QSignalSpy loaded(m_page.get(), &QWebEnginePage::loadFinished);
    m_page->setHtml(R"(<!doctype html><body><div id="box">text<span>inner</span></div></body>)",
                    QUrl("https://shop.example/"));
    QVERIFY(loaded.wait(30000) && loaded.first().first().toBool());
}

QVariant TestPageScripts::js(const QString& script) {
    std::optional<QVariant> result;
    m_page->runJavaScript(script, [&](const QVariant& value) { result = value; });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 10000))
        return QStringLiteral("<no answer>");
    return *result;
}

// The text of an expression's value, as JSON and as a literal. An expected text "=<expression>" is that
// expression through JSON.stringify(…, null, 2); one ending in "…" is a prefix. Without a literal text
// the literal is the JSON text with plain identifiers as bare keys.
void TestPageScripts::serialize_data() {
    QTest::addColumn<QString>("expression");
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("literal");
    const auto row = [](const QString& expression, const QString& json, const QString& literal = {}) {
        QTest::newRow(qPrintable(expression.left(60))) << expression << json << literal;
    };
    // A value inside an array, as the object serialised is always an object.
    const auto item = [&](const char* value, const char* json, const char* literal) {
        row(QStringLiteral("[%1]").arg(value), QStringLiteral("[\n  %1\n]").arg(json),
            QStringLiteral("[\n  %1\n]").arg(literal));
    };
    item(R"j("say \"hi\"\n")j", R"j("say \"hi\"\n")j", R"j("say \"hi\"\n")j");
    item("NaN", "null", "NaN");
    item("undefined", "null", "undefined");
    item("12345678901234567890n", R"j("12345678901234567890")j", "12345678901234567890n");
    item("Symbol('tag')", R"j("Symbol(tag)")j", R"j("Symbol(tag)")j");
    item("[function () {}][0]", R"j("[Function anonymous]")j", "function () {}");
    item("new Date(Date.UTC(2024, 1, 29, 13, 5, 9, 250))", R"j("2024-02-29T13:05:09.250Z")j",
         R"j(new Date("2024-02-29T13:05:09.250Z"))j");
    // An invalid date has no ISO text; it must not break the whole serialisation.
    item("new Date(NaN)", "null", "new Date(NaN)");
    item("new Set(['x', 2n])", "[\n    \"x\",\n    \"2\"\n  ]", "[\n    \"x\",\n    2n\n  ]");
    // Plain identifiers stay bare; everything else is quoted so that the text reads back. Sparse
    // arrays print their holes.
    row(R"j(({a: [1, [], {}, , 5], "unit price": 2, "2x": true, $ok: 1, _u: 0, "": 3, "é": 4}))j",
        R"j(={a: [1, [], {}, null, 5], "unit price": 2, "2x": true, $ok: 1, _u: 0, "": 3, "é": 4})j",
        "{\n  a: [\n    1,\n    [],\n    {},\n    undefined,\n    5\n  ],\n  \"unit price\": 2,\n  \"2x\": "
        "true,\n"
        "  $ok: 1,\n  _u: 0,\n  \"\": 3,\n  \"é\": 4\n}");
    // Cycles are cut, an object met twice elsewhere is printed twice; maps are lists of pairs; errors
    // their text; nodes their name; only own enumerable string keys; what cannot be read says so.
    row("(() => { const o = {id: 1}; o.self = o; const m = new Map([[{k: 2}, 1]]); m.set('me', [m]);"
        "  const s = {n: 1}, e = new Error('plain'); e.stack = undefined;"
        "  return {o, m, shared: [s, {s}], e, body: document.body, text: "
        "document.getElementById('box').firstChild,"
        "    hidden: Object.defineProperty(Object.create({inherited: 1}), 'hidden', {value: 1, enumerable: "
        "false}),"
        "    get broken() { throw new Error('no access'); }, get odd() { throw Object.create(null); },"
        "    keys: new Proxy({}, {ownKeys() { throw new TypeError('keys'); }})}; })()",
        "={o: {id: 1, self: '[Circular]'}, m: [[{k: 2}, 1], ['me', ['[Circular]']]], shared: [{n: 1}, {s: "
        "{n: 1}}],"
        " e: 'Error: plain', body: 'BODY', text: '#text', hidden: {}, broken: '[unreadable: Error: no "
        "access]',"
        " odd: '[unreadable: [object Object]]', keys: '[unreadable: TypeError: keys]'}");
    // This engine's stack starts with the message; a stack of frames only keeps it in front.
    row("(() => { try { null.x; } catch (e) { return e; } })()",
        R"j("TypeError: Cannot read properties of null…)j");
    row("(() => { const e = new RangeError('far'); e.stack = 'walk@https://shop.example/a.js:3:9'; return e; "
        "})()",
        R"j("RangeError: far\nwalk@https://shop.example/a.js:3:9")j");
    row("(() => { const p = Proxy.revocable({}, {}); p.revoke(); return [p.proxy]; })()",
        "[\n  \"[unreadable: TypeError…");
    // Depth: twelve levels below the object are printed, the thirteenth is not read at all.
    const auto chain = [](int levels, const char* leaf) {
        return QStringLiteral(
                   "(() => { let o = %1; for (let i = 0; i < %2; i++) o = {next: o}; return o; })()")
            .arg(leaf)
            .arg(levels);
    };
    row(chain(12, "{get leaf() { throw 'read'; }}"), "=" + chain(12, "{leaf: '[too deep]'}"));
    row(QString(13, u'[') + QString(13, u']'), "=" + QString(13, u'[') + QString(13, u']'));
    row(QString(14, u'[') + QString(14, u']'), "=" + QString(13, u'[') + "'[too deep]'" + QString(13, u']'));
}

void TestPageScripts::serialize() {
    QFETCH(QString, expression);
    QFETCH(QString, json);
    QFETCH(QString, literal);
    for (const bool asJSON : {true, false}) {
        QString expected = asJSON || literal.isEmpty() ? json : literal;
        if (expected.startsWith(u'='))
            expected = js(QStringLiteral("JSON.stringify(%1, null, 2)").arg(expected.mid(1))).toString();
        if (!asJSON && literal.isEmpty())
            expected.replace(QRegularExpression(R"j("([A-Za-z_$][\w$]*)": )j"), "\\1: ");
        // The page applies the declaration to the object, with the object as `this`.
        const QString got =
            js(QStringLiteral("(%1).call(%2)").arg(PageRequests::serializerFunction(asJSON), expression))
                .toString();
        if (expected.endsWith(u'…'))
            QVERIFY2(got.startsWith(expected.chopped(1)), qPrintable(got));
        else
            QCOMPARE(got, expected);
    }
}

void TestPageScripts::propertyNames() {
    const auto names = [&](const std::optional<QString>& base) {
        return js(PageRequests::completionExpression(base)).toStringList();
    };
    // From the base through its prototypes: own names first, no repeats (every prototype of a node
    // has a constructor).
    QCOMPARE(names("({b: 1, a: 2})").mid(0, 3), (QStringList{"b", "a", "constructor"}));
    QVERIFY(names("document.body").contains("click"));
    QCOMPARE(names("document.body").count("constructor"), 1);
    QVERIFY(names(std::nullopt).contains("document") && names(std::nullopt).contains("setTimeout"));
    // A base that throws, or that is nothing, gives no names; a primitive its wrapper's names.
    for (const char* nothing : {"noSuchThing.here", "undefined"})
        QCOMPARE(js(PageRequests::completionExpression(nothing)), QVariant(QVariantList()));
    QVERIFY(names("'abc'").contains("toUpperCase"));
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
            qgetenv("QTWEBENGINE_CHROMIUM_FLAGS") + " --no-sandbox --disable-gpu");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestPageScripts test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pagescripts.moc"
