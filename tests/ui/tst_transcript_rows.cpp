// The transcript page's rows, filter, objects and context report, driven through SC in a real engine.
#include "TranscriptHarness.h"

#include <QApplication>
#include <QJsonDocument>
#include <QTest>
#include <memory>

namespace {

QJsonArray args(const QJsonValue& a) {
    return QJsonArray{a};
}

QJsonObject object(const QString& id, const QString& label) {
    return {{"id", id}, {"label", label}};
}

QJsonObject prop(const QString& name, const QString& value, const QJsonValue& object = QJsonValue::Null) {
    return {{"name", name}, {"value", value}, {"object", object}};
}

QJsonArray numbered(int from, int to) {
    QJsonArray list;
    for (int i = from; i < to; ++i)
        list.append(entry(QStringLiteral("E%1").arg(i), QStringLiteral("message %1").arg(i)));
    return list;
}

} // namespace

class TstTranscriptRows : public QObject {
    Q_OBJECT

    std::unique_ptr<TranscriptHarness> h;

    QString textOf(const QString& selector) {
        return h
            ->js(QStringLiteral("(document.querySelector(%1) || {}).textContent ?? null")
                     .arg(quoted(selector)))
            .toString();
    }
    int count(const QString& selector) {
        return h->js(QStringLiteral("document.querySelectorAll(%1).length").arg(quoted(selector))).toInt();
    }
    bool visible(const QString& selector) {
        return h
            ->js(QStringLiteral("(() => { const e = document.querySelector(%1); return !!e && "
                                "e.getClientRects().length > 0; })()")
                     .arg(quoted(selector)))
            .toBool();
    }
    void click(const QString& selector) {
        QVERIFY2(h->js(QStringLiteral("(() => { const e = document.querySelector(%1); if (!e) return false; "
                                      "e.click(); return true; })()")
                           .arg(quoted(selector)))
                     .toBool(),
                 qPrintable(selector));
    }
    static QString quoted(const QString& s) {
        return QString::fromUtf8(QJsonDocument(QJsonArray{s}).toJson(QJsonDocument::Compact))
            .mid(1)
            .chopped(1);
    }

private slots:
    void init() {
        h = std::make_unique<TranscriptHarness>();
        QVERIFY(h->load());
    }
    void cleanup() { h.reset(); }

    void placeholderFollowsRowsAndFilter() {
        QCOMPARE(textOf("#empty"), QString("No console output yet"));
        QVERIFY(visible("#empty"));

        h->call("append", args(numbered(0, 3)));
        QCOMPARE(count(".group"), 3);
        QVERIFY(!visible("#empty"));

        h->call("filter", args(QJsonObject{{"problems", false}, {"search", "no such text"}}));
        QVERIFY(visible("#empty"));
        QCOMPARE(textOf("#empty"), QString("Nothing matches this filter"));

        h->call("filter", args(QJsonObject{{"problems", false}, {"search", ""}}));
        QVERIFY(!visible("#empty"));

        // A reset to nothing leaves the placeholder, and only it, in the log.
        h->call("reset", args(QJsonArray{}));
        QCOMPARE(count("#log > *"), 1);
        QVERIFY(visible("#empty"));
        QCOMPARE(textOf("#empty"), QString("No console output yet"));

        // A reset replaces the rows with the new list.
        h->call("append", args(numbered(0, 3)));
        h->call("reset", args(numbered(10, 12)));
        QCOMPARE(count(".group"), 2);
        QCOMPARE(textOf(".row .text"), QString("message 10"));
    }

    void rowCarriesItsParts() {
        const QJsonArray frames{QJsonObject{{"f", "load"}, {"u", "app.js"}, {"l", 12}},
                                QJsonObject{{"f", "run"}, {"u", "lib.js"}, {"l", 3}},
                                QJsonObject{{"f", "main"}, {"u", "index.html"}, {"l", 40}}};
        h->call("append", args(QJsonArray{
                              entry("A", "boom",
                                    {{"level", "error"},
                                     {"location", "app.js:12"},
                                     {"repeat", 4},
                                     {"page", "Shop"},
                                     {"frames", frames},
                                     {"objects", QJsonArray{object("o1", "Error")}}}),
                              entry("B", "plain", {{"repeat", 1}}),
                              entry("C", "1+1", {{"kind", "input"}}),
                          }));

        QCOMPARE(h->js("document.querySelector('.row').className").toString(),
                 QString("row lvl-error kind-message expandable"));
        QCOMPARE(
            h->js("[...document.querySelector('.row').children].map(e => e.className).join(',')").toString(),
            QString("time,mark,twisty,body"));
        QCOMPARE(h->js("[...document.querySelector('.row .body').children].map(e => e.className).join(',')")
                     .toString(),
                 QString("loc,frames-toggle,chip page,chip repeat,text"));
        QCOMPARE(textOf(".row .loc"), QString("app.js:12"));
        QCOMPARE(textOf(".row .frames-toggle"), QString("3 frames"));
        QCOMPARE(textOf(".row .repeat"), QString::fromUtf8("\u00D74"));
        // Group order: row, then the hidden stack, then the hidden detail.
        QCOMPARE(h->js("[...document.querySelector('.group').children].map(e => e.className + (e.hidden ? "
                       "'-hidden' : '')).join(',')")
                     .toString(),
                 QString("row lvl-error kind-message expandable,frames-hidden,detail-hidden"));

        // A single message: no chips, no location, nothing to open.
        QCOMPARE(h->js("[...document.querySelectorAll('.group')[1].querySelectorAll('.body > *')].map(e => "
                       "e.className).join(',')")
                     .toString(),
                 QString("text"));
        QCOMPARE(count("[data-entry='B'] ~ .detail, [data-entry='B'] ~ .frames"), 0);
    }

    void frameToggleShowsAndHidesTheStack() {
        const QJsonArray frames{QJsonObject{{"f", "load"}, {"u", "app.js"}, {"l", 12}},
                                QJsonObject{{"f", "run"}, {"u", "lib.js"}, {"l", 3}}};
        h->call("append",
                args(QJsonArray{
                    entry("A", "boom", {{"frames", frames}, {"objects", QJsonArray{object("o1", "x")}}})}));
        click(".frames-toggle");
        QVERIFY(visible(".frames"));
        QCOMPARE(textOf(".frames"), QString("load  app.js:12\nrun  lib.js:3"));
        QCOMPARE(textOf(".frames-toggle"), QString("hide stack"));
        // The toggle's click is its own: the row's objects stay closed and nothing is requested.
        QVERIFY(!visible(".detail"));
        QCOMPARE(h->js("document.querySelector('.row').classList.contains('open')").toBool(), false);

        click(".frames-toggle");
        QVERIFY(!visible(".frames"));
        QCOMPARE(textOf(".frames-toggle"), QString("2 frames"));
        QTest::qWait(50);
        QVERIFY(h->host().messages("expand").isEmpty());
    }

    void pageControlledStringsStayText() {
        const QString markup = "<img src=x onerror=\"window.hit=1\"><b>bold</b>";
        h->call("append", args(QJsonArray{entry(
                              "A", markup,
                              {{"location", markup},
                               {"page", markup},
                               {"level", "error\" onclick=\"window.hit=1"},
                               {"frames", QJsonArray{QJsonObject{{"f", markup}, {"u", "a.js"}, {"l", 1}}}},
                               {"objects", QJsonArray{object("o1", markup), object("o2", markup)}}})}));
        click(".row");
        click(".head");
        QVERIFY(h->waitForMessages("expand"));
        h->call("properties", QJsonArray{"A", "o1", QJsonArray{prop(markup, markup, "o3")}});

        QCOMPARE(count("#log img, #log b"), 0);
        QCOMPARE(textOf(".row .text"), markup);
        QCOMPARE(textOf(".row .loc"), markup);
        QCOMPARE(textOf(".row .page"), markup);
        QCOMPARE(textOf(".head .label"), markup);
        QCOMPARE(textOf(".node .name"), markup + ":");
        QCOMPARE(textOf(".node .value"), markup);
        // An unknown level cannot smuggle classes or attributes into the row.
        QCOMPARE(h->js("document.querySelector('.row').className").toString(),
                 QString("row lvl-log kind-message expandable open"));
        QCOMPARE(h->js("document.querySelector('.row').getAttribute('onclick')"), QVariant());
        QTest::qWait(100);
        QCOMPARE(h->js("window.hit === undefined").toBool(), true);
    }

    void filterByProblemsAndSearch() {
        h->call("append", args(QJsonArray{
                              entry("log", "Loaded FOO bar"),
                              entry("err", "failed", {{"level", "error"}, {"location", "foo.js:3"}}),
                              entry("warn", "slow", {{"level", "warning"}}),
                              entry("info", "hello", {{"level", "info"}}),
                              entry("dbg", "trace foo", {{"level", "debug"}}),
                              entry("in", "foo()", {{"kind", "input"}}),
                              entry("out", "undefined", {{"kind", "result"}}),
                          }));
        auto shown = [&] {
            return h
                ->js("[...document.querySelectorAll('.group:not(.hidden) .row')].map(r => "
                     "r.dataset.entry).join(',')")
                .toString();
        };
        QCOMPARE(shown(), QString("log,err,warn,info,dbg,in,out"));

        // Problems only: echoes and results of level log go too.
        h->call("filter", args(QJsonObject{{"problems", true}, {"search", ""}}));
        QCOMPARE(shown(), QString("err,warn"));

        // Search, case-insensitive, over the text and the location.
        h->call("filter", args(QJsonObject{{"problems", false}, {"search", "foo"}}));
        QCOMPARE(shown(), QString("log,err,dbg,in"));
        h->call("filter", args(QJsonObject{{"problems", false}, {"search", "FOO.JS"}}));
        QCOMPARE(shown(), QString("err"));

        // Both at once.
        h->call("filter", args(QJsonObject{{"problems", true}, {"search", "foo"}}));
        QCOMPARE(shown(), QString("err"));

        // Rows appended later are filtered as they arrive, and the placeholder counts them.
        h->call("filter", args(QJsonObject{{"problems", true}, {"search", "later"}}));
        QVERIFY(visible("#empty"));
        h->call("append", args(QJsonArray{entry("late1", "later log"),
                                          entry("late2", "later error", {{"level", "error"}})}));
        QCOMPARE(shown(), QString("late2"));
        QVERIFY(!visible("#empty"));
        h->call("filter", args(QJsonObject{{"problems", false}, {"search", ""}}));
        QCOMPARE(count(".group:not(.hidden)"), 9);

        // Filtering a large transcript down to nothing leaves nothing to scroll through, whether the
        // filter comes after the rows or before them.
        auto scrollable = [&] {
            return h
                ->js("(() => { const l = document.getElementById('log'); "
                     "return l.scrollHeight - l.clientHeight; })()")
                .toInt();
        };
        h->call("reset", args(numbered(0, 2000)));
        h->call("filter", args(QJsonObject{{"problems", true}, {"search", ""}}));
        QTest::qWait(100);
        QVERIFY2(scrollable() <= 0, qPrintable(QString::number(scrollable())));
        h->call("reset", args(numbered(0, 2000)));
        QTest::qWait(100);
        QVERIFY2(scrollable() <= 0, qPrintable(QString::number(scrollable())));
    }

    void theNewest2200RowsAreKept() {
        h->call("append", args(numbered(0, 2500)));
        QCOMPARE(count(".group"), 2200);
        QCOMPARE(h->js("document.querySelector('.row').dataset.entry").toString(), QString("E300"));
        QCOMPARE(h->js("[...document.querySelectorAll('#log .row')].pop().dataset.entry").toString(),
                 QString("E2499"));

        // Every later append drops as many of the oldest.
        h->call("append", args(numbered(2500, 2510)));
        QCOMPARE(count(".group"), 2200);
        QCOMPARE(h->js("document.querySelector('.row').dataset.entry").toString(), QString("E310"));
        for (int from = 2510; from < 2700; from += 7)
            h->call("append", args(numbered(from, from + 7)));
        QCOMPARE(count(".group"), 2200);
        QCOMPARE(h->js("document.querySelector('.row').dataset.entry").toString(), QString("E506"));
        QCOMPARE(count("#log > :empty"), 0);

        // Rows of a large delivery far from its end are laid out once they are scrolled to.
        h->call("follow", args(false));
        h->js("document.getElementById('log').scrollTop = 0");
        QTRY_VERIFY(h->js("document.querySelector('.row').getBoundingClientRect().height > 10").toBool());
        QCOMPARE(textOf(".row .text"), QString("message 506"));

        // The placeholder only counts rows still held: a filter that matches only dropped rows shows it.
        QJsonArray mixed;
        for (int i = 0; i < 2300; ++i)
            mixed.append(entry(QStringLiteral("M%1").arg(i), i < 100 ? "old" : "new"));
        h->call("reset", args(mixed));
        QCOMPARE(count(".group"), 2200);
        h->call("filter", args(QJsonObject{{"problems", false}, {"search", "old"}}));
        QVERIFY(visible("#empty"));
        QCOMPARE(textOf("#empty"), QString("Nothing matches this filter"));
    }

    void followKeepsTheEndInView() {
        auto atEnd = [&] {
            return h
                ->js("(() => { const l = document.getElementById('log'); "
                     "return l.scrollHeight - l.clientHeight - l.scrollTop < 2; })()")
                .toBool();
        };
        h->call("append", args(numbered(0, 200)));
        QTRY_VERIFY(atEnd()); // the end is brought into view at the next frame

        h->call("follow", args(false));
        h->js("document.getElementById('log').scrollTop = 0");
        h->call("append", args(numbered(200, 210)));
        QCOMPARE(h->js("document.getElementById('log').scrollTop").toInt(), 0);
        h->call("filter", args(QJsonObject{{"problems", false}, {"search", "message"}}));
        QCOMPARE(h->js("document.getElementById('log').scrollTop").toInt(), 0);

        h->call("follow", args(true));
        QTRY_VERIFY(atEnd());
        h->js("document.getElementById('log').scrollTop = 0");
        h->call("append", args(numbered(210, 220)));
        QTRY_VERIFY(atEnd());

        // Rows far taller than a line: once they are laid out the end is still what is in view.
        QJsonArray tall;
        for (int i = 0; i < 1500; ++i)
            tall.append(entry(QStringLiteral("T%1").arg(i),
                              QStringLiteral("first\nsecond\nthird\nfourth %1").arg(i)));
        h->call("filter", args(QJsonObject{{"problems", false}, {"search", ""}}));
        h->call("reset", args(tall));
        QTRY_VERIFY(atEnd()); // the newest rows are laid out by the next frame
        QTest::qWait(200);
        QVERIFY(atEnd());
        const int below = h->js("(() => { const l = document.getElementById('log').getBoundingClientRect(); "
                                "const last = [...document.querySelectorAll('#log .group')].pop()"
                                ".getBoundingClientRect(); return Math.round(l.bottom - last.bottom); })()")
                              .toInt();
        QVERIFY2(below >= 5 && below <= 8, qPrintable(QString::number(below))); // the log's bottom padding
    }

    void oneObjectIsRequestedWhenTheRowFirstOpens() {
        h->call("append",
                args(QJsonArray{entry("A", "obj", {{"objects", QJsonArray{object("o1", "Object")}}})}));
        QCOMPARE(count(".detail > *"), 0);
        click(".row");
        QVERIFY(h->waitForMessages("expand"));
        QCOMPARE(h->host().messages("expand").first(),
                 (QJsonObject{{"type", "expand"}, {"entry", "A"}, {"object", "o1"}}));
        QVERIFY(visible(".detail"));
        QCOMPARE(count(".detail > .head"), 0); // one object needs no head of its own

        h->call("properties",
                QJsonArray{"A", "o1", QJsonArray{prop("a", "1"), prop("", "2"), prop("c", "{…}", "o2")}});
        QCOMPARE(count(".detail .node"), 3);
        QCOMPARE(
            h->js("[...document.querySelectorAll('.detail .node')].map(n => n.innerText.replace(/\\s+/g, "
                  "' ').trim()).join('|')")
                .toString(),
            QString::fromUtf8("a: 1|2|c: {…}"));
        QCOMPARE(
            h->js("[...document.querySelectorAll('.detail .node')].map(n => (n.dataset.entry || '') + '/' "
                  "+ (n.dataset.object || '')).join(',')")
                .toString(),
            QString("A/,A/,A/o2"));

        // Closing and opening the row again asks for nothing more.
        click(".row");
        QVERIFY(!visible(".detail"));
        QCOMPARE(h->js("document.querySelector('.row').classList.contains('open')").toBool(), false);
        click(".row");
        QVERIFY(visible(".detail"));
        QCOMPARE(count(".detail .node"), 3);

        // A nested object: requested when its line opens, with the entry's id, and filled in below it.
        click(".node.expandable");
        QVERIFY(h->waitForMessages("expand", 2));
        QCOMPARE(h->host().messages("expand").last(),
                 (QJsonObject{{"type", "expand"}, {"entry", "A"}, {"object", "o2"}}));
        h->call("properties", QJsonArray{"A", "o2", QJsonArray{}});
        QCOMPARE(textOf(".node.expandable + .children"), QString("(no properties)"));
        QCOMPARE(h->js("document.querySelector('.node.expandable').classList.contains('open')").toBool(),
                 true);
        // Opening the nested line did not close the row.
        QVERIFY(visible(".detail"));

        click(".node.expandable");
        QVERIFY(!visible(".node.expandable + .children"));
        click(".node.expandable");
        QTest::qWait(100);
        QCOMPARE(h->host().messages("expand").size(), 2);
    }

    void twoObjectsAreRequestedOnlyWhenAHeadOpens() {
        h->call("append", args(QJsonArray{entry(
                              "A", "two",
                              {{"objects", QJsonArray{object("o1", "Array(2)"), object("o2", "Window")}}})}));
        click(".row");
        QCOMPARE(count(".detail > .head"), 2);
        QCOMPARE(h->js("[...document.querySelectorAll('.head .label')].map(e => e.textContent).join(',')")
                     .toString(),
                 QString("Array(2),Window"));
        QTest::qWait(100);
        QVERIFY(h->host().messages("expand").isEmpty());

        click(".head:nth-of-type(3)"); // the second head: head, children, head, children
        QVERIFY(h->waitForMessages("expand"));
        QCOMPARE(h->host().messages("expand").first().value("object").toString(), QString("o2"));
        QCOMPARE(h->js("document.querySelectorAll('.head')[1].classList.contains('open')").toBool(), true);
        h->call("properties", QJsonArray{"A", "o2", QJsonArray{prop("document", "#document")}});
        QCOMPARE(textOf(".head.open + .children .value"), QString("#document"));
        QCOMPARE(textOf(".head:not(.open) + .children"), QString(""));
    }

    void answersThatAreNotAwaitedChangeNothing() {
        h->call("append",
                args(QJsonArray{entry("A", "obj", {{"objects", QJsonArray{object("o1", "Object")}}})}));
        // Never asked for.
        h->call("properties", QJsonArray{"A", "o1", QJsonArray{prop("a", "1")}});
        QCOMPARE(count(".node"), 0);

        click(".row");
        QVERIFY(h->waitForMessages("expand"));
        h->call("properties", QJsonArray{"A", "o1", QJsonArray{prop("a", "1")}});
        // A second answer to the same request.
        h->call("properties", QJsonArray{"A", "o1", QJsonArray{prop("b", "2"), prop("c", "3")}});
        QCOMPARE(count(".node"), 1);
        QCOMPARE(textOf(".node .name"), QString("a:"));

        // An answer that arrives after a reset.
        h->call("reset",
                args(QJsonArray{entry("A", "obj", {{"objects", QJsonArray{object("o9", "Object")}}})}));
        click(".row");
        QVERIFY(h->waitForMessages("expand", 2));
        h->call("reset",
                args(QJsonArray{entry("A", "obj", {{"objects", QJsonArray{object("o9", "Object")}}})}));
        h->call("properties", QJsonArray{"A", "o9", QJsonArray{prop("late", "1")}});
        QCOMPARE(count(".node"), 0);
        QCOMPARE(h->js("document.querySelector('.detail').hidden").toBool(), true);
    }

    void aClickThatEndsASelectionDoesNotToggle() {
        h->call("append", args(QJsonArray{entry("A", "select me please",
                                                {{"objects", QJsonArray{object("o1", "Object")}}})}));
        h->js("(() => { const r = document.createRange(); "
              "r.selectNodeContents(document.querySelector('.row .text')); "
              "getSelection().removeAllRanges(); getSelection().addRange(r); })()");
        click(".row .text");
        QVERIFY(!visible(".detail"));
        h->js("getSelection().removeAllRanges()");
        click(".row .text");
        QVERIFY(visible(".detail"));
        QVERIFY(h->waitForMessages("expand"));
    }

    void contextReportNamesWhatWasClicked() {
        h->call("append",
                args(QJsonArray{entry("A", "first line", {{"location", "a.js:1"}}),
                                entry("B", "obj", {{"objects", QJsonArray{object("o1", "Object")}}})}));
        click("[data-entry='B']");
        QVERIFY(h->waitForMessages("expand"));
        h->call("properties", QJsonArray{"B", "o1", QJsonArray{prop("inner", "{…}", "o5")}});

        auto context = [&](const QString& selector) {
            const int before = h->host().messages("context").size();
            const bool cancelled =
                h->js(QStringLiteral("(() => { const e = document.querySelector(%1); const b = "
                                     "e.getBoundingClientRect(); return !e.dispatchEvent(new "
                                     "MouseEvent('contextmenu', {bubbles: true, cancelable: true, clientX: "
                                     "Math.round(b.left) + 3, clientY: Math.round(b.top) + 4})); })()")
                          .arg(quoted(selector)))
                    .toBool();
            if (!cancelled || !h->waitForMessages("context", before + 1))
                return QJsonObject();
            return h->host().messages("context").last();
        };

        // On a property line: its entry, its own object, its own text.
        QJsonObject report = context(".node .value");
        QCOMPARE(report.value("entry").toString(), QString("B"));
        QCOMPARE(report.value("object").toString(), QString("o5"));
        QCOMPARE(report.value("text").toString().simplified(), QString::fromUtf8("inner: {…}"));
        QCOMPARE(report.value("selection").toString(), QString());
        const QJsonObject where = h->js("(() => { const b = document.querySelector('.node .value')"
                                        ".getBoundingClientRect(); return {x: Math.round(b.left) + 3, "
                                        "y: Math.round(b.top) + 4}; })()")
                                      .toJsonObject();
        QCOMPARE(report.value("x").toInt(), where.value("x").toInt());
        QCOMPARE(report.value("y").toInt(), where.value("y").toInt());

        // On a plain row with a selection: no object, the row's text, the selection.
        h->js("(() => { const r = document.createRange(); const t = document.querySelector('.row .text')"
              ".firstChild; r.setStart(t, 0); r.setEnd(t, 5); getSelection().removeAllRanges(); "
              "getSelection().addRange(r); })()");
        report = context(".row .text");
        QCOMPARE(report.value("entry").toString(), QString("A"));
        QVERIFY(report.value("object").isNull());
        QCOMPARE(report.value("selection").toString(), QString("first"));
        QVERIFY(report.value("text").toString().contains("first line"));
        QVERIFY(report.value("text").toString().contains("a.js:1"));
        h->js("getSelection().removeAllRanges()");

        // On the log's empty space: nothing to name.
        h->call("follow", args(false));
        report = context("#log");
        QVERIFY(report.value("entry").isNull());
        QVERIFY(report.value("object").isNull());
        QCOMPARE(report.value("text").toString(), QString());

        // On the expandable row itself: its first object.
        report = context("[data-entry='B'] .text");
        QCOMPARE(report.value("entry").toString(), QString("B"));
        QCOMPARE(report.value("object").toString(), QString("o1"));
    }
};

int main(int argc, char** argv) {
    TranscriptHarness::prepareEnvironment();
    QApplication app(argc, argv);
    TstTranscriptRows test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_transcript_rows.moc"
