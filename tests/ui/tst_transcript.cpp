// The transcript page driven through SC in a real engine: rows, filter, objects, the context report,
// the input prompt typed with real keys, and a screenshot in the colour scheme named by
// TAVOLIN_TRANSCRIPT_SCHEME ("light", the default, or "dark"), left next to the test as
// transcript-<scheme>.png for people to look at.
#include "TranscriptHarness.h"

#include <QApplication>
#include <QImage>
#include <QJsonDocument>
#include <QKeySequence>
#include <QTest>
#include <QWebEngineView>
#include <memory>

namespace {

const QString kScheme = qEnvironmentVariable("TAVOLIN_TRANSCRIPT_SCHEME", QStringLiteral("light"));

} // namespace

class TestTranscript : public QObject {
    Q_OBJECT

    std::unique_ptr<TranscriptHarness> h;
    int m_answered = 0; // completion requests there were when the last was answered
    QJsonValue m_token; // of the last answered request

    QString q(const QString& script) { return h->js(script).toString(); }
    bool yes(const QString& script) { return h->js(script).toBool(); }
    // The last message of `type` as compact JSON, its keys in order.
    QString last(const QString& type) {
        const auto all = h->messages(type);
        return all.isEmpty() ? QString() : QJsonDocument(all.last()).toJson(QJsonDocument::Compact);
    }
    // Opens the context menu on `selector`; the page's report as "entry/object/selection/text".
    QString menu(const QString& selector) {
        const int before = h->messages("context").size();
        const QString at = q(QStringLiteral("menu('%1')").arg(selector));
        if (at.isEmpty() || !h->waitForMessages("context", before + 1))
            return "not taken";
        const QJsonObject r = h->messages("context").last();
        return QString(at == QString("%1,%2").arg(r["x"].toInt()).arg(r["y"].toInt()) ? "" : "elsewhere ") +
               QStringList{r["entry"].toString("-"), r["object"].toString("-"), r["selection"].toString(),
                           r["text"].toString().simplified()}
                   .join('/');
    }

    // Runs prompt steps separated by " ; ": typed text, "<Key>", "?names" (answers the next completion
    // request), "^names" (answers the last answered request again), "*n" (presses option n), "~script"
    // (runs in the page), and the checks "=field", "#options", "!text" last run, "@base|prefix" of the
    // last completion request (empty: none was made), "&" the number of requests and "%script" (true).
    void runPrompt(const QString& script) {
        for (const QString& step : script.split(" ; ")) {
            if (QTest::currentTestFailed())
                return;
            const QString rest = step.mid(1);
            switch (step.at(0).toLatin1()) {
            case '<':
                QVERIFY(h->press(QKeySequence::fromString(rest.chopped(1))[0].key()));
                break;
            case '?':
                QVERIFY(h->waitForMessages("complete", m_answered + 1));
                QTest::qWait(120); // lets out the request for the last edit
                m_answered = int(h->messages("complete").size());
                m_token = h->messages("complete").last().value("token");
                [[fallthrough]];
            case '^':
                h->call("completions",
                        {m_token, QJsonArray::fromStringList(rest.split(',', Qt::SkipEmptyParts))});
                break;
            case '*':
                QVERIFY(yes(QStringLiteral("!$$('#suggest .option')[%1].dispatchEvent(new MouseEvent("
                                           "'mousedown', {bubbles: true, cancelable: true}))")
                                .arg(rest)));
                break;
            case '~':
                h->js(rest);
                break;
            case '=':
                QTRY_COMPARE(q("field()"), rest);
                break;
            case '#':
                QTRY_COMPARE(q("options()"), rest);
                break;
            case '!':
                QCOMPARE(h->messages("eval").value(h->messages("eval").size() - 1)["text"].toString(), rest);
                break;
            case '@': {
                QTest::qWait(250);
                const auto all = h->messages("complete");
                const QJsonObject r = all.value(all.size() - 1);
                QCOMPARE(r.isEmpty() ? "" : r["base"].toString("null") + "|" + r["prefix"].toString(), rest);
                break;
            }
            case '%':
                QTRY_VERIFY2(yes(rest), qPrintable(rest));
                break;
            case '&':
                QCOMPARE(QString::number(h->messages("complete").size()), rest);
                break;
            default:
                QVERIFY(h->typeText(step));
            }
        }
    }

private slots:
    void init() {
        m_answered = 0;
        h = std::make_unique<TranscriptHarness>();
        QVERIFY(h->load());
    }
    void cleanup() { h.reset(); }

    // Also: the stack opens on its own, objects are asked for one at a time, and no string from the
    // page is ever read as markup.
    void rowsShowTheirPartsAsText() {
        const QString m = "<img src=x onerror=\"window.hit=1\"><b>bold</b>";
        h->js(QStringLiteral(
                  "window.M = '%1'; SC.append([E('A', M, {location: M, page: M, repeat: 4, level: "
                  "'error\" onclick=\"window.hit=1', frames: [{f: M, u: 'a.js', l: 1}, {f: 'run', u: "
                  "'lib.js', l: 3}], objects: [{id: 'o1', label: M}, {id: 'o2', label: M}]}), "
                  "E('B', 'plain', {level: 'error', kind: 'input'})])")
                  .arg(m));
        // An unknown level cannot smuggle classes or attributes into the row.
        QCOMPARE(q("shape('.group') + '/' + shape('.row .body')"),
                 "row lvl-log kind-message expandable,frames hidden,detail hidden/"
                 "loc,frames-toggle,chip page,chip repeat,text");
        QCOMPARE(q("texts('.row .body > *')"), QString("%1|2 frames|%1|\u00D74|%1|plain").arg(m));
        QCOMPARE(q("shape('.group + .group')"), "row lvl-error kind-input");

        h->js("$('.frames-toggle').click()");
        QCOMPARE(q("texts('.frames-toggle, .frames') + '/' + shown('.detail')"),
                 QString("hide stack|%1  a.js:1\nrun  lib.js:3/false").arg(m));
        h->js("$('.frames-toggle').click()");
        QCOMPARE(q("shown('.frames') + ' ' + texts('.frames-toggle')"), "false 2 frames");

        h->js("$('.row').click(); $$('.head')[1].click()");
        QVERIFY(h->waitForMessages("expand"));
        QCOMPARE(last("expand"), R"({"entry":"A","object":"o2","type":"expand"})");
        h->call("properties",
                {"A", "o2", QJsonArray{QJsonObject{{"name", m}, {"value", m}, {"object", "o3"}}}});
        QCOMPARE(q("texts('.head .label, .head.open + .children .node > *')"),
                 QString("%1|%1||%1:|%1").arg(m));
        QCOMPARE(q("$$('#log img, #log b').length + ' ' + $('.row').getAttribute('onclick')"), "0 null");
        QTest::qWait(100);
        QCOMPARE(q("typeof window.hit") + QString::number(h->messages("expand").size()), "undefined1");
    }

    void filterByProblemsAndSearch() {
        const QString placeholder = "(shown('#empty') ? $('#empty').textContent : '')";
        QCOMPARE(q(placeholder), "No console output yet");
        h->js("SC.append([E('log', 'Loaded FOO bar'), E('err', 'failed', {level: 'error', location: "
              "'foo.js:3'}), "
              "E('warn', 'slow', {level: 'warning'}), E('info', 'hello', {level: 'info'}), E('dbg', 'trace "
              "foo', "
              "{level: 'debug'}), E('in', 'foo()', {kind: 'input'}), E('out', 'undefined', {kind: "
              "'result'})])");
        const QString shown = "$$('.group:not(.hidden) .row').map((r) => r.dataset.entry).join()";
        // Problems are errors and warnings; the search ignores case and also looks at the location.
        const char* cases[][2] = {{"{problems: false, search: ''}", "log,err,warn,info,dbg,in,out"},
                                  {"{problems: true, search: ''}", "err,warn"},
                                  {"{problems: false, search: 'foo'}", "log,err,dbg,in"},
                                  {"{problems: false, search: 'FOO.JS'}", "err"},
                                  {"{problems: true, search: 'foo'}", "err"},
                                  {"{problems: true, search: 'later'}", ""}};
        for (const auto& [filter, expected] : cases) {
            h->js(QStringLiteral("SC.filter(%1)").arg(filter));
            QCOMPARE(q(shown), expected);
        }
        QCOMPARE(q(placeholder), "Nothing matches this filter");
        // Rows appended later are filtered as they arrive, and the placeholder counts them.
        h->js("SC.append([E('late1', 'later log'), E('late2', 'later error', {level: 'error'})])");
        QCOMPARE(q(shown + " + '/' + " + placeholder), "late2/");
        h->js("SC.filter({})");
        QCOMPARE(q("$$('.group:not(.hidden)').length"), "9");

        // A large transcript filtered to nothing leaves nothing to scroll, with the filter after or before.
        for (const char* script :
             {"SC.reset(N(0, 2000)); SC.filter({problems: true})", "SC.reset(N(0, 2000))"}) {
            h->js(script);
            QTest::qWait(100);
            QCOMPARE(q("$('#log').scrollHeight - $('#log').clientHeight <= 0"), "true");
        }
        // A reset to nothing leaves the placeholder, and only it, in the log.
        h->js("SC.reset([])");
        QCOMPARE(q("$$('#log > *').length + ' ' + $('#empty').textContent"), "1 No console output yet");
    }

    void theNewest2200RowsAreKept() {
        const QString ends = "$$('.group').length + ' ' + $('.row').dataset.entry + ' ' + "
                             "$$('.row').pop().dataset.entry + ' ' + $$('#log > :empty').length";
        h->js("SC.append(N(0, 2500))");
        QCOMPARE(q(ends), "2200 E300 E2499 0");
        // Every later append drops as many of the oldest, and no emptied chunk stays behind.
        h->js("SC.append(N(2500, 2510)); for (let i = 2510; i < 2700; i += 7) SC.append(N(i, i + 7))");
        QCOMPARE(q(ends), "2200 E506 E2705 0");

        // Rows of a large delivery far from its end are laid out once they are scrolled to.
        h->js("SC.follow(false); $('#log').scrollTop = 0");
        QTRY_VERIFY(yes("$('.row').getBoundingClientRect().height > 10"));
        QCOMPARE(q("$('.row .text').textContent"), "message 506");

        // A reset replaces the rows; the placeholder counts only rows still held.
        h->js("SC.reset(N(0, 2300, (i) => (i < 100 ? 'old' : 'new'))); SC.filter({search: 'old'})");
        QCOMPARE(q(ends + " + ' ' + shown('#empty')"), "2200 E100 E2299 0 true");
    }

    void followKeepsTheEndInView() {
        h->js("SC.append(N(0, 200))");
        QTRY_VERIFY(yes("atEnd()")); // the end is brought into view at the next frame
        h->js("SC.follow(false); $('#log').scrollTop = 0; SC.append(N(200, 210)); SC.filter({search: "
              "'message'})");
        QTest::qWait(50);
        QCOMPARE(q("$('#log').scrollTop"), "0");
        h->js("SC.follow(true)");
        QTRY_VERIFY(yes("atEnd()"));
        h->js("$('#log').scrollTop = 0; SC.append(N(210, 220))");
        QTRY_VERIFY(yes("atEnd()"));

        // Running what was typed turns following back on.
        h->js("SC.follow(false); $('#log').scrollTop = 0; SC.prompt({enabled: true}); $('#entry').focus()");
        QVERIFY(h->typeText("x") && h->press(Qt::Key_Return) && h->waitForMessages("eval"));
        h->js("SC.append([E('echo', 'x', {kind: 'input'})])");
        QTRY_VERIFY(yes("atEnd()"));

        // Rows far taller than a line: once they are laid out the end is still what is in view, above
        // the log's bottom padding.
        h->js("SC.filter({}); SC.reset(N(0, 1500, () => 'first\\nsecond\\nthird\\nfourth'))");
        QTRY_VERIFY(yes("atEnd()"));
        QTest::qWait(200);
        const QString below =
            "$('#log').getBoundingClientRect().bottom - $$('.group').pop().getBoundingClientRect()"
            ".bottom";
        QVERIFY2(yes(QStringLiteral("atEnd() && %1 >= 5 && %1 <= 8").arg(below)), qPrintable(q(below)));
    }

    // Also: a click that ends a selection does not toggle, and answers not awaited change nothing.
    void oneObjectIsRequestedWhenTheRowFirstOpens() {
        const QString once = "SC.reset([E('A', 'obj', {objects: [{id: 'o1', label: 'Object'}]})]);";
        h->js(once + "getSelection().selectAllChildren($('.row .text')); $('.row .text').click()");
        QCOMPARE(q("shown('.detail')"), "false");
        h->js("getSelection().removeAllRanges(); $('.row .text').click()");
        QVERIFY(h->waitForMessages("expand"));
        QCOMPARE(last("expand"), R"({"entry":"A","object":"o1","type":"expand"})");
        QCOMPARE(q("shown('.detail') + ' ' + $$('.detail > .head').length"), "true 0");

        // A second answer to the same request changes nothing.
        h->js("SC.properties('A', 'o1', [{name: 'a', value: '1'}, {name: '', value: '2'}, "
              "{name: 'c', value: '{…}', object: 'o2'}]); SC.properties('A', 'o1', [{name: 'again'}])");
        QCOMPARE(q("$$('.detail .node').map((n) => n.innerText.replace(/\\s+/g, ' ').trim() + '/' + "
                   "n.dataset.entry + '/' + (n.dataset.object || '')).join()"),
                 "a: 1/A/,2/A/,c: {…}/A/o2");
        h->js("$('.row').click()"); // closed
        QCOMPARE(q("shown('.detail') + ' ' + $('.row').classList.contains('open')"), "false false");
        h->js("$('.row').click()"); // and open again, asking for nothing more

        // A nested object: asked for with the entry's id when its line opens, filled in below it.
        h->js("$('.node.expandable').click()");
        QVERIFY(h->waitForMessages("expand", 2));
        QCOMPARE(last("expand"), R"({"entry":"A","object":"o2","type":"expand"})");
        h->js("SC.properties('A', 'o2', [])");
        QCOMPARE(q("texts('.node.expandable.open + .children') + ' ' + shown('.detail')"),
                 "(no properties) true");
        h->js("$('.node.expandable').click(); $('.node.expandable').click()"); // closed, open again

        // An answer that arrives after a reset.
        h->js(once + "$('.row').click()");
        QVERIFY(h->waitForMessages("expand", 3));
        h->js(once + "SC.properties('A', 'o1', [{name: 'late', value: '1'}])");
        QTest::qWait(100);
        QCOMPARE(q("$$('.node').length + ' ' + $('.detail').hidden") +
                     QString::number(h->messages("expand").size()),
                 "0 true3");
    }

    void contextReportNamesWhatWasClicked() {
        h->js(
            "SC.append([E('A', 'first line', {location: 'a.js:1'}), E('B', 'obj', {objects: [{id: 'o1'}]})]);"
            "$('[data-entry=B]').click()");
        QVERIFY(h->waitForMessages("expand"));
        h->js("SC.properties('B', 'o1', [{name: 'inner', value: '{…}', object: 'o5'}])");
        // A property line names its entry and its own object; an expandable row, its first object.
        QCOMPARE(menu(".node .value"), "B/o5//inner: {…}");
        QCOMPARE(menu("[data-entry=B] .text"), "B/o1//12:00:00 obj");
        QCOMPARE(menu("#log"), "-/-//"); // the log's empty space names nothing
        h->js(
            "getSelection().setBaseAndExtent($('.row .text').firstChild, 0, $('.row .text').firstChild, 5)");
        QCOMPARE(menu(".row .text"), "A/-/first/12:00:00 a.js:1 first line");
    }

    void promptFollowsItsState() {
        const QString state =
            "$('#entry').disabled + '/' + $('#prompt').className + '/' + $('#entry').placeholder";
        QCOMPARE(q(state), "true/off/Select a webview to run JavaScript");
        h->js("SC.prompt({enabled: true, label: 'Run in Shop'})");
        QCOMPARE(q(state), "false//Run in Shop");
    }

    void keys_data() {
        QTest::addColumn<QString>("steps");
        QTest::newRow("return runs the trimmed text")
            << "<Up> ; =| ;   1 + 1   ; <Return> ; =| ;     ; <Return> ; =   | ; !1 + 1";
        QTest::newRow("history keeps one copy of each text")
            << "a ; <Return> ; b ; <Return> ; a ; <Return> ; !a ; <Up> ; =a| ; <Up> ; =b| ; <Up> ; =b| ; "
               "<Down> ; =a| ; <Down> ; =| ; <Down> ; =| ; <Up> ; <Up> ; c ; <Up> ; =a|";
        QTest::newRow("only property chains are completed")
            << "d ; @ ; <Backspace> ; do ; @null|do ; . ; @do| ; ~$('#entry').value = '' ; x = $el.sty ; "
               "@$el|sty";
        QTest::newRow("not after a call") << "foo(). ; @ ; ba ; @";
        QTest::newRow("not after an index or operator") << "a[0].le ; @ ;  +  ; @";
        QTest::newRow("once typing pauses")
            << "~for (const t of ['do', 'doc', 'docum']) { $('#entry').value = t; $('#entry').dispatchEvent("
               "new InputEvent('input', {inputType: 'insertText'})); } ; @null|docum ; &1";
        QTest::newRow("options are ranked, without repeats")
            << "document. ; ?_x,zeta,__proto__,alpha,zeta,$b ; #*$b,alpha,zeta,__proto__,_x";
        QTest::newRow("options share the prefix, ten at most")
            << "document.b ; ?a1,_b,b9,b8,b7,b6,b5,b4,b3,b2,b1,b0,ba ; #*b0,b1,b2,b3,b4,b5,b6,b7,b8,b9";
        QTest::newRow("inline text follows typing, not deleting")
            << "document.bo ; ?body,bold,border ; #*body,bold,border ; =document.bo[dy] ; r ; "
               "?body,bold,border ; "
               "=document.bor[der] ; <Backspace> ; =document.bor| ; <Backspace> ; ?body,bold,border ; "
               "#*body,bold,border ; =document.bo| ; <Down> ; #body,*bold,border ; =document.bo[ld] ; <Down> "
               "; "
               "<Down> ; #body,bold,*border ; <Up> ; =document.bo[ld]";
        QTest::newRow("tab takes the option, escape takes it back")
            << "1 ; <Tab> ; =1| ; <Backspace> ; document.bo ; ?body,bold ; <Tab> ; # ; =document.body| ; "
               ".inner ; "
               "?innerText,innerHTML ; =document.body.inner[HTML] ; <Esc> ; # ; =document.body.inner| ; "
               "^innerText ; #";
        QTest::newRow("tab after a deletion takes the chosen option")
            << "document.boo ; ?body ; # ; <Backspace> ; ?body,bold ; #*body,bold ; =document.bo| ; <Tab> ; "
               "=document.body| ; #";
        QTest::newRow("return runs what the field shows")
            << "document.ti ; ?title ; =document.ti[tle] ; <Return> ; !document.title ; # ; =|";
        QTest::newRow("pressing an option takes it")
            << "document.bo ; ?body,bold,border ; *2 ; =document.border| ; #";
        QTest::newRow("pressing an option after a deletion")
            << "document.bore ; ? ; <Backspace> ; ?borderRadius,border ; =document.bor| ; *1 ; "
               "=document.borderRadius|";
        // The list sits 4 px above the prompt, under the prefix, and never closer than 8 px to the right
        // edge.
        QTest::newRow("the list sits under the prefix")
            << "document.bo ; ?body ; %Math.round($('#prompt').getBoundingClientRect().top - $('#suggest')"
               ".getBoundingClientRect().bottom) === 4 && $('#suggest').getBoundingClientRect().left > "
               "$('#entry').getBoundingClientRect().left + 40";
        QTest::newRow("the list keeps off the right edge")
            << QString(110, 'x') + " + document.bo ; ?body ; #*body ; "
                                   "%$('#suggest').getBoundingClientRect().right <= innerWidth - 7.5";
        QTest::newRow("losing the focus closes the list")
            << "document.bo ; ?body ; ~$('#entry').blur() ; # ; =document.bo ; "
               "~$('#prompt').dispatchEvent(new MouseEvent('mousedown', {bubbles: true})) ; =document.bo|";
        QTest::newRow("turning the prompt off closes the list")
            << "document.bo ; ?body ; #*body ; ~SC.prompt({enabled: false}) ; # ; =document.bo ; ^body ; #";
    }
    void keys() {
        QFETCH(QString, steps);
        h->js("SC.prompt({enabled: true}); $('#entry').focus()");
        runPrompt(steps);
    }

    // Every kind of row, with a stack, an object and the completion list open.
    void screenshot() {
        h->js(
            "SC.append([E('1', 'App booted in 412 ms', {location: 'app.js:12', page: 'Shop'}), E('2', "
            "'Service "
            "worker registered', {level: 'info'}), E('3', 'render pass', {level: 'debug', repeat: 4}), "
            "E('4', "
            "'Slow network: 2.3 s for /api/cart', {level: 'warning'}), E('5', 'TypeError: undefined is not "
            "an "
            "object (evaluating \\'cart.items.length\\')', {level: 'error', location: "
            "'https://shop.example.com/"
            "static/js/cart.4f9a1c2e.min.js:88', frames: [{f: 'loadCart', u: 'cart.js', l: 88}, {f: "
            "'onClick', "
            "u: 'app.js', l: 214}]}), E('6', 'user {id: 7} Array(3)', {objects: [{id: 'u', label: 'Object'}, "
            "{id: 'a', label: 'Array(3)'}]}), E('7', 'document.title', {kind: 'input'}), E('8', '\"Shop "
            "\u2014 Cart\"', {kind: 'result'}), E('9', 'A long message that wraps: ' + 'lorem ipsum "
            "'.repeat(20))]);"
            "$('[data-entry=\"5\"] .frames-toggle').click(); $('[data-entry=\"6\"]').click(); "
            "$('.head').click()");
        QVERIFY(h->waitForMessages("expand"));
        h->js("SC.properties('6', 'u', [{name: 'id', value: '7'}, {name: 'roles', value: 'Array(2)', object: "
              "'r'}]);"
              "SC.prompt({enabled: true, label: 'Run in Shop'}); $('#entry').focus()");
        runPrompt("document.bo ; ?body,bgColor,bind,bodyUsed,border,_bound ; #*body,bodyUsed,border");
        // The log fills the window above the prompt; the body itself never scrolls.
        QVERIFY(
            yes("$('#log').getBoundingClientRect().bottom === $('#prompt').getBoundingClientRect().top && "
                "$('#prompt').getBoundingClientRect().bottom === innerHeight && "
                "document.scrollingElement.scrollHeight <= innerHeight"));
        QTest::qWait(300);
        const QImage picture = h->view().grab().toImage();
        const QString path = QCoreApplication::applicationDirPath() + "/transcript-" + kScheme + ".png";
        QVERIFY(picture.save(path));
        qInfo("screenshot: %s", qPrintable(path));
        // The picture is the page in its scheme, not an empty surface: the background fills its corner.
        QCOMPARE(picture.pixelColor(2, 2).name(), kScheme == "dark" ? "#1e1e1e" : "#ffffff");
    }
};

int main(int argc, char** argv) {
    TranscriptHarness::prepareEnvironment(kScheme == "dark" ? "--force-dark-mode" : "");
    QApplication app(argc, argv);
    TestTranscript test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_transcript.moc"
