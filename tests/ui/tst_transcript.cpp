// The transcript page driven through SC in a real engine: rows, filter, objects, the context report,
// the input prompt typed with real keys, and a screenshot in the colour scheme named by
// TAVOLIN_TRANSCRIPT_SCHEME ("light", the default, or "dark"), left next to the test as
// transcript-<scheme>.png for people to look at.
#include "ui/TranscriptDocument.h"

#include <QApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <functional>

static const QString kScheme = qEnvironmentVariable("TAVOLIN_TRANSCRIPT_SCHEME", "light");

// Counting key releases lets the input helpers wait until the page has handled their keys: key events
// reach the page on another path than scripts do.
inline constexpr auto kHelpers = R"(
window.keyReleases = 0;
document.addEventListener('keyup', () => window.keyReleases++, true);
window.$ = (s) => document.querySelector(s);
window.$$ = (s) => [...document.querySelectorAll(s)];
window.shown = (s) => !!$(s) && $(s).getClientRects().length > 0;
window.texts = (s) => $$(s).map((e) => e.textContent).join('|');
window.shape = (s) => [...$(s).children].map((e) => e.className + (e.hidden ? ' hidden' : '')).join();
window.atEnd = () => $('#log').scrollHeight - $('#log').clientHeight - $('#log').scrollTop < 2;
// field() and menu() keep their locals in default parameters.
window.field = (e = $('#entry'), v = e.value, a = e.selectionStart, b = e.selectionEnd) =>
    document.activeElement !== e ? v : v.slice(0, a) + (a === b ? '|' : `[${v.slice(a, b)}]`) + v.slice(b);
window.options = () => !shown('#suggest') ? '' :
    $$('#suggest .option').map((o) => (o.classList.contains('on') ? '*' : '') + o.textContent).join();
window.menu = (s, r = $(s).getBoundingClientRect(), x = Math.round(r.x) + 3, y = Math.round(r.y) + 4) =>
    $(s).dispatchEvent(new MouseEvent('contextmenu', {bubbles: true, cancelable: true, clientX: x,
        clientY: y})) ? '' : `${x},${y}`;
window.pick = (n) => !$$('#suggest .option')[n].dispatchEvent(new MouseEvent('mousedown', {bubbles: true,
    cancelable: true}));
window.E = (id, text, more) => ({id, time: '12:00:00', level: 'log', kind: 'message', text, location: '',
    repeat: 1, page: '', frames: [], objects: [], ...more});
window.N = (from, to, text = (i) => `message ${i}`) =>
    Array.from({length: to - from}, (_, i) => E(`E${from + i}`, text(from + i)));
true;
)";

// Once loaded, the page offers the tests short helpers (kHelpers above):
//   $, $$            querySelector, querySelectorAll as an array
//   shown(s)         whether s is rendered; texts(s): the text of each match, joined by "|"
//   shape(s)         the classes of s's children (" hidden" marks hidden ones)
//   atEnd()          whether the log shows its end
//   field()          the input's value with its selection as "[...]" or its caret as "|", while focused
//   options()        the completion list ("*" marks the chosen option), empty while closed
//   menu(s)          opens the context menu 3 px right of and 4 px below s's corner: "x,y" if taken
//   pick(n)          presses option n of the list: true if the page kept the press from taking the focus
//   E(id, text, f)   an entry as the host delivers it, with the fields f changed
//   N(from, to, t)   entries E<from> to E<to - 1>, their texts t(i) ("message <i>" unless given)
//
// The test hosts the page offscreen and stands in for the program's transcript bridge: it is the page's
// "console" channel object and keeps every message the page posts, in order.
class TestTranscript : public QObject {
    Q_OBJECT

    std::unique_ptr<QWebEngineView> m_view;
    QList<QJsonObject> m_messages;
    int m_keys = 0;     // keys sent to the page so far
    int m_answered = 0; // completion requests there were when the last was answered
    QJsonValue m_token; // of the last answered request

    // Runs a script in the page and waits for its result.
    QVariant js(const QString& script) {
        auto result =
            std::make_shared<std::optional<QVariant>>(); // shared: the answer may come after a timeout
        m_view->page()->runJavaScript(script, [result](const QVariant& value) { *result = value; });
        (void)QTest::qWaitFor([&] { return result->has_value(); }, 10000);
        return result->value_or(QVariant());
    }
    QString q(const QString& script) { return js(script).toString(); }
    bool yes(const QString& script) { return js(script).toBool(); }
    // The messages of `type` the page has posted; waits until there are `count` of them.
    QList<QJsonObject> messages(const QString& type) const {
        QList<QJsonObject> found = m_messages;
        found.removeIf([&](const QJsonObject& message) { return message["type"] != type; });
        return found;
    }
    bool waitForMessages(const QString& type, int count = 1) {
        return QTest::qWaitFor([&] { return messages(type).size() >= count; }, 5000);
    }
    QJsonObject last(const QString& type) { return messages(type).value(messages(type).size() - 1); }
    // Real keyboard input to the page's focused element; each returns once the page has handled it.
    bool typeText(const QString& text) {
        for (const QChar c : text)
            QTest::keyClick(m_view->focusProxy(), c.toLatin1());
        m_keys += int(text.size());
        return QTest::qWaitFor([&] { return js("window.keyReleases").toInt() >= m_keys; });
    }
    bool press(int key) {
        QTest::keyClick(m_view->focusProxy(), static_cast<Qt::Key>(key));
        ++m_keys;
        return typeText({}); // which waits until the page has handled it
    }
    // The last request for properties, as "entry/object".
    QString asked() { return last("expand")["entry"].toString() + "/" + last("expand")["object"].toString(); }
    // Opens the context menu on `selector`; the page's report as "/entry/object/selection/text", after
    // "elsewhere" if it names another place than where the menu was opened.
    QString menu(const QString& selector) {
        const int before = int(messages("context").size());
        const QString at = q(QStringLiteral("menu('%1')").arg(selector));
        const auto r = waitForMessages("context", before + 1) ? last("context") : QJsonObject();
        return QStringList{QString("%1,%2").arg(r["x"].toInt()).arg(r["y"].toInt()) == at ? "" : "elsewhere",
                           r["entry"].toString("-"), r["object"].toString("-"), r["selection"].toString(),
                           r["text"].toString().simplified()}
            .join('/');
    }
    // Answers the newest completion request, once the last edit has let it out, or the last answered.
    void answer(const QString& names, bool next) {
        if (next) {
            QVERIFY(waitForMessages("complete", m_answered + 1));
            QTest::qWait(120);
            m_answered = int(messages("complete").size());
            m_token = last("complete")["token"];
        }
        const auto list = QJsonDocument(QJsonArray::fromStringList(names.split(',', Qt::SkipEmptyParts)));
        js(QStringLiteral("SC.completions(%1, %2)").arg(m_token.toInt()).arg(list.toJson()));
    }
    // "base|prefix" of the last completion request, once typing has had time to cause one.
    QString chain() {
        QTest::qWait(250);
        const auto r = last("complete");
        return r.isEmpty() ? "" : r["base"].toString("null") + "|" + r["prefix"].toString();
    }
    // Runs prompt steps separated by " ; ". A step is text to type with real keys unless it starts with
    //   <Key>      a key press (<Return>, <Tab>, <Esc>, <Up>, <Down>, <Backspace>)
    //   ?a,b       answers the next completion request with the names a and b
    //   ^a,b       answers the last answered request again (by then it should be stale)
    //   ~script    runs a script in the page
    //   %script    checks that a script in the page returns true
    //   =field     checks the input, as the page's field() shows it
    //   #options   checks the completion list, as options() shows it ("#" alone: closed)
    //   !text      checks the text of the last "eval" the page posted
    //   @base|pfx  checks the last completion request ("@" alone: none was made)
    //   &n         checks the number of completion requests
    void runPrompt(const QString& script) {
        const QHash<QChar, std::function<void(const QString&)>> kinds{
            {'<', [&](const QString& key) { QVERIFY(press(QKeySequence(key.chopped(1))[0].key())); }},
            {'?', [&](const QString& names) { answer(names, true); }},
            {'^', [&](const QString& names) { answer(names, false); }},
            {'~', [&](const QString& script) { js(script); }},
            {'%', [&](const QString& script) { QVERIFY2(yes(script), qPrintable(script)); }},
            {'=', [&](const QString& field) { QTRY_COMPARE(q("field()"), field); }},
            {'#', [&](const QString& options) { QTRY_COMPARE(q("options()"), options); }},
            {'!', [&](const QString& text) { QTRY_COMPARE(last("eval")["text"].toString(), text); }},
            {'@', [&](const QString& expected) { QCOMPARE(chain(), expected); }},
            {'&', [&](const QString& n) { QCOMPARE(QString::number(messages("complete").size()), n); }}};
        for (const QString& step : script.split(" ; ")) {
            if (QTest::currentTestFailed())
                return;
            if (const auto kind = kinds.value(step.at(0)))
                kind(step.mid(1));
            else
                QVERIFY(typeText(step));
        }
    }

public slots:
    void post(const QJsonObject& message) { m_messages.append(message); }

private slots:
    // Loads the document; once it has loaded and the channel answers, the helpers, which end in true.
    void init() {
        m_messages.clear();
        m_keys = m_answered = 0;
        m_view = std::make_unique<QWebEngineView>();
        QSignalSpy loaded(m_view->page(), &QWebEnginePage::loadFinished);
        TranscriptDocument::load(m_view->page(), this);
        m_view->resize(900, 600);
        m_view->show();
        const auto ready = [&] { return yes("typeof SC === 'object' && !!window.qt?.webChannelTransport"); };
        QVERIFY(loaded.wait(20000) && loaded.first().first().toBool() && QTest::qWaitFor(ready) &&
                yes(kHelpers));
    }
    void cleanup() { m_view.reset(); } // the page must go before the host object it calls

    // Also: the stack opens on its own, objects are asked for one at a time, and no string from the
    // page is ever read as markup.
    void rowsShowTheirPartsAsText() {
        const QString m = "<img src=x onerror=\"window.hit=1\"><b>bold</b>";
        js("window.M = '" + m +
           "'; SC.append([E('A', M, {location: M, page: M, repeat: 4, level: 'error\" "
           "onclick=\"window.hit=1', frames: [{f: M, u: 'a.js', l: 1}, {f: 'run', u: 'lib.js', l: 3}], "
           "objects: [{id: 'o1', label: M}, {id: 'o2', label: M}]}), E('B', 'plain', {level: 'error', "
           "kind: 'input'})])");
        // An unknown level cannot smuggle classes or attributes into the row.
        QCOMPARE(q("shape('.group') + '/' + shape('.row .body') + '/' + shape('.group + .group')"),
                 "row lvl-log kind-message expandable,frames hidden,detail hidden/"
                 "loc,frames-toggle,chip page,chip repeat,text/row lvl-error kind-input");
        QCOMPARE(q("texts('.row .body > *')"), QString("%1|2 frames|%1|\u00D74|%1|plain").arg(m));

        js("$('.frames-toggle').click()");
        QCOMPARE(q("texts('.frames-toggle, .frames') + '/' + shown('.detail')"),
                 QString("hide stack|%1  a.js:1\nrun  lib.js:3/false").arg(m));
        js("$('.frames-toggle').click()"); // and closed again
        QCOMPARE(q("shown('.frames') + ' ' + texts('.frames-toggle')"), "false 2 frames");

        js("$('.row').click(); $$('.head')[1].click()");
        QVERIFY(waitForMessages("expand"));
        js("SC.properties('A', 'o2', [{name: M, value: M, object: 'o3'}])");
        QCOMPARE(q("texts('.head .label, .head.open + .children .node > *')"),
                 QString("%1|%1||%1:|%1").arg(m));
        QTest::qWait(100);
        QCOMPARE(q("$$('#log img, #log b').length + ' ' + $('.row').getAttribute('onclick') + ' ' + "
                   "typeof window.hit + ' '") +
                     asked() + QString::number(messages("expand").size()),
                 "0 null undefined A/o21");
    }

    void filterByProblemsAndSearch() {
        QCOMPARE(q("shown('#empty') + ' ' + $('#empty').textContent"), "true No console output yet");
        js("SC.append([E('log', 'Loaded FOO bar'), E('err', 'failed', {level: 'error', location: "
           "'foo.js:3'}), E('warn', 'slow', {level: 'warning'}), E('info', 'hello', {level: 'info'}), "
           "E('dbg', 'trace foo', {level: 'debug'}), E('in', 'foo()', {kind: 'input'}), E('out', "
           "'undefined', {kind: 'result'})])");
        // The rows shown, and the placeholder if it is.
        const QString shown = "$$('.group:not(.hidden) .row').map((r) => r.dataset.entry).join() + '/' + "
                              "(shown('#empty') ? $('#empty').textContent : '')";
        // Problems are errors and warnings; the search ignores case and also looks at the location.
        const char* cases[][2] = {{"{problems: false, search: ''}", "log,err,warn,info,dbg,in,out/"},
                                  {"{problems: true, search: ''}", "err,warn/"},
                                  {"{problems: false, search: 'foo'}", "log,err,dbg,in/"},
                                  {"{problems: false, search: 'FOO.JS'}", "err/"},
                                  {"{problems: true, search: 'foo'}", "err/"},
                                  {"{problems: true, search: 'later'}", "/Nothing matches this filter"}};
        for (const auto& [filter, expected] : cases) {
            js(QStringLiteral("SC.filter(%1)").arg(filter));
            QCOMPARE(q(shown), expected);
        }
        // Rows appended later are filtered as they arrive, and the placeholder counts them.
        js("SC.append([E('late1', 'later log'), E('late2', 'later error', {level: 'error'})])");
        QCOMPARE(q(shown), "late2/");

        // A large transcript filtered to nothing leaves nothing to scroll, with the filter after or before.
        const QString big = "SC.reset(N(0, 2000))";
        for (const QString& script : {big + "; SC.filter({problems: true})", big}) {
            js(script);
            QTest::qWait(100);
            QCOMPARE(q("$('#log').scrollHeight - $('#log').clientHeight <= 0"), "true");
        }
        // A reset to nothing leaves the placeholder, and only it, in the log.
        js("SC.reset([])");
        QCOMPARE(q("$$('#log > *').length + ' ' + $('#empty').textContent"), "1 No console output yet");
    }

    // A delivered row's repeat count changes in place: its chip comes, counts on, and goes at one.
    void aRowsRepeatCountChanges() {
        js("SC.append([E('A', 'tick'), E('B', 'tock', {repeat: 2})]); SC.repeat('A', 3); "
           "SC.repeat('B', 1); SC.repeat('gone', 5)");
        QCOMPARE(q("texts('.row .body > *')"), "\u00D73|tick|tock");
        js("SC.repeat('A', 4)");
        QCOMPARE(q("texts('[data-entry=A] .body > *')"), "\u00D74|tick");
    }

    void theNewest2200RowsAreKept() {
        const QString ends = "$$('.group').length + ' ' + $('.row').dataset.entry + ' ' + "
                             "$$('.row').pop().dataset.entry + ' ' + $$('#log > :empty').length";
        js("SC.append(N(0, 2500))");
        QCOMPARE(q(ends), "2200 E300 E2499 0");
        // Every later append drops as many of the oldest, and no emptied chunk stays behind.
        js("SC.append(N(2500, 2510)); for (let i = 2510; i < 2700; i += 7) SC.append(N(i, i + 7))");
        QCOMPARE(q(ends), "2200 E506 E2705 0");

        // Rows of a large delivery far from its end are laid out once they are scrolled to.
        js("SC.follow(false); $('#log').scrollTop = 0");
        QTRY_VERIFY(yes("$('.row').getBoundingClientRect().height > 10"));
        QCOMPARE(q("$('.row .text').textContent"), "message 506");

        // A reset replaces the rows; the placeholder counts only rows still held.
        js("SC.reset(N(0, 2300, (i) => (i < 100 ? 'old' : 'new'))); SC.filter({search: 'old'})");
        QCOMPARE(q(ends + " + ' ' + shown('#empty')"), "2200 E100 E2299 0 true");
    }

    void followKeepsTheEndInView() {
        js("SC.append(N(0, 200))");
        QTRY_VERIFY(yes("atEnd()")); // the end is brought into view at the next frame
        js("SC.follow(false); $('#log').scrollTop = 0; SC.append(N(200, 210)); SC.filter({search: 'e'})");
        QTest::qWait(50);
        QCOMPARE(q("$('#log').scrollTop"), "0");
        js("SC.follow(true)");
        QTRY_VERIFY(yes("atEnd()"));
        js("$('#log').scrollTop = 0; SC.append(N(210, 220))");
        QTRY_VERIFY(yes("atEnd()"));

        // Running what was typed turns following back on.
        js("SC.follow(false); $('#log').scrollTop = 0; SC.prompt({enabled: true})");
        runPrompt("~$('#entry').focus() ; x ; <Return> ; !x ; ~SC.append([E('echo', 'x', {kind: 'input'})])");
        QTRY_VERIFY(yes("atEnd()"));

        // Rows far taller than a line: once laid out, the end is still in view above the log's padding.
        js("SC.filter({}); SC.reset(N(0, 1500, () => 'first\\nsecond\\nthird\\nfourth'))");
        QTest::qWait(300);
        const QString below = "$('#log').getBoundingClientRect().bottom - $$('.group').pop()"
                              ".getBoundingClientRect().bottom";
        QVERIFY2(yes(QStringLiteral("atEnd() && %1 >= 5 && %1 <= 8").arg(below)), qPrintable(q(below)));
    }

    // Also: a click that ends a selection does not toggle, answers not awaited change nothing, and
    // the context menu's report names what was clicked.
    void oneObjectIsRequestedWhenTheRowFirstOpens() {
        const QString once = "SC.reset([E('A', 'obj', {objects: [{id: 'o1', label: 'Object'}]})]);";
        js(once + "getSelection().selectAllChildren($('.row .text')); $('.row .text').click()");
        QCOMPARE(q("shown('.detail')"), "false");
        js("getSelection().removeAllRanges(); $('.row .text').click()");
        QVERIFY(waitForMessages("expand"));
        QCOMPARE(asked() + q("' ' + shown('.detail') + ' ' + $$('.detail > .head').length"), "A/o1 true 0");

        // A second answer to the same request changes nothing.
        js("SC.properties('A', 'o1', [{name: 'a', value: '1'}, {name: '', value: '2'}, "
           "{name: 'c', value: '{…}', object: 'o2'}]); SC.properties('A', 'o1', [{name: 'again'}])");
        QCOMPARE(q("$$('.detail .node').map((n) => n.innerText.replace(/\\s+/g, ' ').trim() + '/' + "
                   "n.dataset.entry + '/' + (n.dataset.object || '')).join()"),
                 "a: 1/A/,2/A/,c: {…}/A/o2");
        js("$('.row').click()"); // closes the row, and opening it again asks for nothing more
        QCOMPARE(q("shown('.detail') + ' ' + $('.row').classList.contains('open')"), "false false");
        js("$('.row').click()");

        // A nested object: asked for with the entry's id when its line opens, filled in below it.
        js("$('.node.expandable').click()");
        QVERIFY(waitForMessages("expand", 2));
        QCOMPARE(asked(), "A/o2");
        js("SC.properties('A', 'o2', [])");
        QCOMPARE(q("texts('.node.expandable.open + .children') + ' ' + shown('.detail')"),
                 "(no properties) true");

        // A property line names its entry and its own object; an expandable row, its first object.
        js("SC.append([E('B', 'first line', {location: 'a.js:1'})])");
        QCOMPARE(menu(".node.expandable .value"), "/A/o2//c: {…}");
        QCOMPARE(menu("[data-entry=A] .text"), "/A/o1//12:00:00 obj");
        QCOMPARE(menu("#log"), "/-/-//"); // the log's empty space names nothing
        js("var t = $('[data-entry=B] .text').firstChild; getSelection().setBaseAndExtent(t, 0, t, 5)");
        QCOMPARE(menu("[data-entry=B] .text"), "/B/-/first/12:00:00 a.js:1 first line");

        // An answer that arrives after a reset.
        js(once + "$('.row').click()");
        QVERIFY(waitForMessages("expand", 3));
        js(once + "SC.properties('A', 'o1', [{name: 'late', value: '1'}])");
        QTest::qWait(100);
        QCOMPARE(q("$$('.node').length + ' ' + $('.detail').hidden + ' '") +
                     QString::number(messages("expand").size()),
                 "0 true 3");
    }

    void keys_data() {
        QTest::addColumn<QString>("steps");
        QTest::newRow("return runs the trimmed text")
            << "<Up> ; =| ;   1 + 1   ; <Return> ; =| ;     ; <Return> ; =   | ; !1 + 1";
        QTest::newRow("history keeps one copy of each text")
            << "a ; <Return> ; b ; <Return> ; a ; <Return> ; <Up> ; =a| ; <Up> ; =b| ; <Up> ; =b| ; "
               "<Down> ; =a| ; <Down> ; =| ; <Down> ; =| ; <Up> ; <Up> ; c ; <Up> ; =a|";
        QTest::newRow("only property chains are completed")
            << "d ; @ ; <Backspace> ; do ; @null|do ; . ; @do| ; ~$('#entry').value = '' ; "
               "x = $el.sty ; @$el|sty";
        QTest::newRow("not after a call, an index or an operator")
            << "foo(). ; @ ; ba ; @ ; ~$('#entry').value = '' ; a[0].le ; @ ;  +  ; @";
        QTest::newRow("once typing pauses")
            << "~for (const t of ['do', 'doc', 'docum']) { $('#entry').value = t; "
               "$('#entry').dispatchEvent(new InputEvent('input')) } ; @null|docum ; &1";
        QTest::newRow("options are ranked, without repeats")
            << "document. ; ?_x,zeta,__proto__,alpha,zeta,$b ; #*$b,alpha,zeta,__proto__,_x";
        QTest::newRow("options share the prefix, ten at most")
            << "document.b ; ?a1,_b,b9,b8,b7,b6,b5,b4,b3,b2,b1,b0,ba ; #*b0,b1,b2,b3,b4,b5,b6,b7,b8,b9";
        QTest::newRow("inline text follows typing, not deleting")
            << "document.bo ; ?body,bold,border ; #*body,bold,border ; =document.bo[dy] ; r ; "
               "?body,bold,border ; =document.bor[der] ; <Backspace> ; =document.bor| ; <Backspace> ; "
               "?body,bold,border ; #*body,bold,border ; =document.bo| ; <Down> ; #body,*bold,border ; "
               "=document.bo[ld] ; <Down> ; <Down> ; #body,bold,*border ; <Up> ; =document.bo[ld]";
        QTest::newRow("tab takes the option, escape takes it back")
            << "1 ; <Tab> ; =1| ; <Backspace> ; document.bo ; ?body,bold ; <Tab> ; # ; =document.body| ; "
               ".inner ; ?innerText,innerHTML ; =document.body.inner[HTML] ; <Esc> ; # ; "
               "=document.body.inner| ; ^innerText ; #";
        QTest::newRow("tab after a deletion takes the chosen option")
            << "document.boo ; ?body ; # ; <Backspace> ; ?body,bold ; #*body,bold ; =document.bo| ; "
               "<Tab> ; =document.body| ; #";
        QTest::newRow("return runs what the field shows")
            << "document.ti ; ?title ; =document.ti[tle] ; <Return> ; !document.title ; # ; =|";
        // A press on an option must not take the focus from the input: the page cancels it.
        QTest::newRow("pressing an option takes it")
            << "document.bo ; ?body,bold,border ; %pick(2) ; =document.border| ; # ; <Backspace> ; "
               "<Backspace> ; ?borderRadius,border ; =document.bord| ; %pick(1) ; =document.borderRadius|";
        QTest::newRow("the list keeps 8 px off the right edge")
            << QString(110, 'x') + " + document.bo ; ?body ; #*body ; "
                                   "%$('#suggest').getBoundingClientRect().right <= innerWidth - 7.5";
        QTest::newRow("losing the focus closes the list")
            << "document.bo ; ?body ; ~$('#entry').blur() ; # ; =document.bo ; "
               "~$('#prompt').dispatchEvent(new MouseEvent('mousedown', {bubbles: true})) ; =document.bo|";
        QTest::newRow("turning the prompt off closes the list")
            << "document.bo ; ?body ; #*body ; ~SC.prompt({enabled: false, label: 'Off'}) ; # ; "
               "=document.bo ; ^body ; # ; %$('#entry').disabled && $('#prompt').className === 'off' && "
               "$('#entry').placeholder === 'Off'";
    }
    void keys() {
        QFETCH(QString, steps);
        runPrompt("~SC.prompt({enabled: true}); $('#entry').focus() ; " + steps);
    }

    // Every kind of row, with a stack, an object and the completion list open.
    void screenshot() {
        js("SC.append([E('1', 'App booted in 412 ms', {location: 'app.js:12', page: 'Shop'}), E('2', "
           "'Worker registered', {level: 'info'}), E('3', 'render pass', {level: 'debug', repeat: 4}), "
           "E('4', 'Slow network: 2.3 s for /api/cart', {level: 'warning'}), E('5', 'TypeError: cart is "
           "undefined', {level: 'error', location: 'https://shop.example.com/static/js/cart.4f9a1.js:8', "
           "frames: [{f: 'loadCart', u: 'cart.js', l: 88}, {f: 'onClick', u: 'app.js', l: 214}]}), "
           "E('6', 'user {id: 7} Array(3)', {objects: [{id: 'u', label: 'Object'}, {id: 'a', label: "
           "'Array(3)'}]}), E('7', 'document.title', {kind: 'input'}), E('8', '\"Shop\"', {kind: "
           "'result'}), E('9', 'A long message that wraps: ' + 'lorem ipsum '.repeat(20))]); "
           "$('[data-entry=\"6\"]').click(); $('[data-entry=\"5\"] .frames-toggle').click(); "
           "$('.head').click()");
        QVERIFY(waitForMessages("expand"));
        runPrompt("~SC.properties('6', 'u', [{name: 'id', value: '7'}, {name: 'roles', value: '[…]', "
                  "object: 'r'}]); SC.prompt({enabled: true, label: 'Run in Shop'}); $('#entry').focus() ; "
                  "document.bo ; ?body,bgColor,bind,bodyUsed,border,_bound ; #*body,bodyUsed,border");
        QTest::qWait(300);
        const QImage picture = m_view->grab().toImage();
        const QString path = QCoreApplication::applicationDirPath() + "/transcript-" + kScheme + ".png";
        QVERIFY(picture.save(path));
        qInfo("screenshot: %s", qPrintable(path));
        // The picture is the page in its scheme, not an empty surface: the background fills its corner.
        QCOMPARE(picture.pixelColor(2, 2).name(), kScheme == "dark" ? "#1e1e1e" : "#ffffff");
    }
};

// Offscreen, with Chromium flags that work as root and without a GPU, and shared GL contexts.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
            QByteArray("--no-sandbox --disable-gpu ") + (kScheme == "dark" ? "--force-dark-mode" : ""));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestTranscript test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_transcript.moc"
