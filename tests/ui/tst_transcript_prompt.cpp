// The transcript's input prompt: its state, Return and history, and completion, typed with real keys.
#include "TranscriptHarness.h"

#include <QApplication>
#include <QJsonDocument>
#include <QTest>
#include <memory>

class TstTranscriptPrompt : public QObject {
    Q_OBJECT

    std::unique_ptr<TranscriptHarness> h;

    void enable(bool enabled = true, const QString& label = "Run in Shop") {
        h->call("prompt", QJsonArray{QJsonObject{{"enabled", enabled}, {"label", label}}});
        if (enabled)
            h->js("document.getElementById('entry').focus()");
    }
    QString value() { return h->js("document.getElementById('entry').value").toString(); }
    QString selected() {
        return h
            ->js("(() => { const e = document.getElementById('entry'); "
                 "return e.value.slice(e.selectionStart, e.selectionEnd); })()")
            .toString();
    }
    int caret() { return h->js("document.getElementById('entry').selectionStart").toInt(); }
    bool listOpen() {
        return h
            ->js("(() => { const s = document.getElementById('suggest'); "
                 "return !s.hidden && s.getClientRects().length > 0; })()")
            .toBool();
    }
    QString options() {
        return h
            ->js("[...document.querySelectorAll('#suggest .option')].map(o => "
                 "(o.classList.contains('on') ? '*' : '') + o.textContent).join(',')")
            .toString();
    }
    void clearInput() { h->js("(() => { const e = document.getElementById('entry'); e.value = ''; })()"); }
    // Types, waits for the request the typing causes, and answers it.
    QJsonObject typeAndAnswer(const QString& text, const QJsonArray& names) {
        const int before = h->host().messages("complete").size();
        h->typeText(text);
        if (!h->waitForMessages("complete", before + 1))
            return {};
        const QJsonObject request = h->host().messages("complete").last();
        h->call("completions", QJsonArray{request.value("token"), names});
        return request;
    }
    void answerLast(const QJsonArray& names) {
        h->call("completions", QJsonArray{h->host().messages("complete").last().value("token"), names});
    }

private slots:
    void init() {
        h = std::make_unique<TranscriptHarness>();
        QVERIFY(h->load());
    }
    void cleanup() { h.reset(); }

    void promptFollowsItsState() {
        QCOMPARE(h->js("document.getElementById('entry').disabled").toBool(), true);
        QCOMPARE(h->js("document.getElementById('prompt').className").toString(), QString("off"));
        QCOMPARE(h->js("document.getElementById('entry').placeholder").toString(),
                 QString("Select a webview to run JavaScript"));
        const QString faint = h->js("getComputedStyle(document.querySelector('.chev')).color").toString();
        QCOMPARE(faint, QString("rgb(176, 176, 181)"));

        enable(true, "Run in Shop");
        QCOMPARE(h->js("document.getElementById('entry').disabled").toBool(), false);
        QCOMPARE(h->js("document.getElementById('prompt').className").toString(), QString());
        QCOMPARE(h->js("document.getElementById('entry').placeholder").toString(), QString("Run in Shop"));
        QCOMPARE(h->js("getComputedStyle(document.querySelector('.chev')).color").toString(),
                 QString("rgb(0, 113, 227)"));

        // Disabling closes an open list, and answers that come later do not open it again.
        typeAndAnswer("document.bo", {"body", "bgColor"});
        QVERIFY(listOpen());
        const QJsonValue token = h->host().messages("complete").last().value("token");
        enable(false, "Select a webview to run JavaScript");
        QVERIFY(!listOpen());
        QCOMPARE(value(), QString("document.bo"));
        h->call("completions", QJsonArray{token, QJsonArray{"body"}});
        QVERIFY(!listOpen());
    }

    void returnRunsTheTrimmedInput() {
        enable();
        h->typeText("  1 + 1  ");
        h->press(Qt::Key_Return);
        QVERIFY(h->waitForMessages("eval"));
        QCOMPARE(h->host().messages("eval").first(), (QJsonObject{{"type", "eval"}, {"text", "1 + 1"}}));
        QCOMPARE(value(), QString());

        // Nothing but spaces runs nothing, and leaves the text as it was.
        h->typeText("   ");
        h->press(Qt::Key_Return);
        QTest::qWait(150);
        QCOMPARE(h->host().messages("eval").size(), 1);

        // Return turns following back on.
        clearInput();
        h->call("follow", QJsonArray{false});
        QJsonArray many;
        for (int i = 0; i < 200; ++i)
            many.append(entry(QString::number(i), "line"));
        h->call("append", QJsonArray{many});
        h->js("document.getElementById('log').scrollTop = 0");
        h->typeText("x");
        h->press(Qt::Key_Return);
        QVERIFY(h->waitForMessages("eval", 2));
        h->call("append", QJsonArray{QJsonArray{entry("echo", "x", {{"kind", "input"}})}});
        QTRY_VERIFY(h->js("(() => { const l = document.getElementById('log'); "
                      "return l.scrollHeight - l.clientHeight - l.scrollTop < 2; })()")
                    .toBool());
    }

    void historyKeepsOneCopyOfEachText() {
        enable();
        // Up with no history does nothing.
        h->press(Qt::Key_Up);
        QCOMPARE(value(), QString());

        for (const char* text : {"a", "b", "a"}) {
            h->typeText(text);
            h->press(Qt::Key_Return);
        }
        QVERIFY(h->waitForMessages("eval", 3));

        h->press(Qt::Key_Up);
        QCOMPARE(value(), QString("a"));
        QCOMPARE(caret(), 1);
        h->press(Qt::Key_Up);
        QCOMPARE(value(), QString("b"));
        h->press(Qt::Key_Up); // there is nothing older
        QCOMPARE(value(), QString("b"));
        h->press(Qt::Key_Down);
        QCOMPARE(value(), QString("a"));
        h->press(Qt::Key_Down);
        QCOMPARE(value(), QString());
        h->press(Qt::Key_Down);
        QCOMPARE(value(), QString());

        // Typing ends the recall: Up starts again from the newest.
        h->press(Qt::Key_Up);
        h->press(Qt::Key_Up);
        QCOMPARE(value(), QString("b"));
        h->typeText("c");
        h->press(Qt::Key_Up);
        QCOMPARE(value(), QString("a"));
    }

    void completionAsksOnlyAboutPropertyChains_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("asks");
        QTest::addColumn<QJsonValue>("base");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("one letter") << "d" << false << QJsonValue() << "";
        QTest::newRow("global") << "do" << true << QJsonValue(QJsonValue::Null) << "do";
        QTest::newRow("member") << "document.bo" << true << QJsonValue("document") << "bo";
        QTest::newRow("after a dot") << "window.document." << true << QJsonValue("window.document") << "";
        QTest::newRow("in an expression") << "x = $el.sty" << true << QJsonValue("$el") << "sty";
        QTest::newRow("after a call") << "foo()." << false << QJsonValue() << "";
        QTest::newRow("member of a call") << "foo().ba" << false << QJsonValue() << "";
        QTest::newRow("member of an index") << "a[0].le" << false << QJsonValue() << "";
        QTest::newRow("operator") << "a + " << false << QJsonValue() << "";
    }
    void completionAsksOnlyAboutPropertyChains() {
        QFETCH(QString, typed);
        QFETCH(bool, asks);
        QFETCH(QJsonValue, base);
        QFETCH(QString, prefix);
        enable();
        h->typeText(typed);
        if (!asks) {
            QTest::qWait(250);
            QVERIFY(h->host().messages("complete").isEmpty());
            return;
        }
        QVERIFY(h->waitForMessages("complete"));
        QTest::qWait(150);
        const QJsonObject request = h->host().messages("complete").last();
        QCOMPARE(request.value("base"), base);
        QCOMPARE(request.value("prefix").toString(), prefix);
    }

    void completionWaitsForTypingToPause() {
        enable();
        // A burst of edits in one turn of the page's event loop: one request, 90 ms after the last.
        h->js("(() => { const e = document.getElementById('entry'); "
              "for (const text of ['do', 'doc', 'docu', 'docum']) { e.value = text; "
              "e.dispatchEvent(new InputEvent('input', {inputType: 'insertText'})); } })()");
        QVERIFY(h->waitForMessages("complete"));
        QTest::qWait(250);
        QCOMPARE(h->host().messages("complete").size(), 1);
        QCOMPARE(h->host().messages("complete").first().value("prefix").toString(), QString("docum"));
        QCOMPARE(h->host().messages("complete").first().value("token").toInt(), 1);
    }

    void staleAnswersAreDropped() {
        enable();
        h->typeText("document.b");
        QVERIFY(h->waitForMessages("complete"));
        h->typeText("o");
        QVERIFY(h->waitForMessages("complete", 2));
        const int first = h->host().messages("complete").first().value("token").toInt();
        const int second = h->host().messages("complete").last().value("token").toInt();
        QVERIFY(second > first);

        h->call("completions", QJsonArray{first, QJsonArray{"body", "bgColor"}});
        QVERIFY(!listOpen());
        QCOMPARE(value(), QString("document.bo"));
        h->call("completions", QJsonArray{second, QJsonArray{"body", "bgColor"}});
        QVERIFY(listOpen());
        QCOMPARE(options(), QString("*body"));

        // Escape closes the list; the answer still on its way for the same text does not reopen it.
        h->press(Qt::Key_Escape);
        QVERIFY(!listOpen());
        h->call("completions", QJsonArray{second, QJsonArray{"body"}});
        QVERIFY(!listOpen());
    }

    void optionsAreRankedAndCut() {
        enable();
        QJsonArray names{"_private", "constructor", "__proto__", "body", "bgColor", "b2", "bb", "$b"};
        for (int i = 0; i < 12; ++i)
            names.append(QStringLiteral("bz%1").arg(i, 2, 10, QChar('0')));
        names.append("body"); // the prototype chain can name a property twice
        typeAndAnswer("document.", names);
        QVERIFY(listOpen());
        QCOMPARE(h->js("document.querySelectorAll('#suggest .option').length").toInt(), 10);
        QCOMPARE(options(), QString("*$b,b2,bb,bgColor,body,bz00,bz01,bz02,bz03,bz04"));

        // Names starting with "_" come after all others.
        const int asked = h->host().messages("complete").size();
        QVERIFY(h->press(Qt::Key_Backspace)); // takes the inline "$b" out
        QVERIFY(h->press(Qt::Key_Backspace)); // and the dot: "document"
        QVERIFY(h->typeText("."));
        QVERIFY(h->waitForMessages("complete", asked + 1));
        QTest::qWait(150);
        answerLast(QJsonArray{"_x", "zeta", "__proto__", "alpha"});
        QCOMPARE(options(), QString("*alpha,zeta,__proto__,_x"));
        h->press(Qt::Key_Escape);

        clearInput();
        typeAndAnswer("document.b", QJsonArray{"_b", "__b", "body", "b", "constructor"});
        QCOMPARE(options(), QString("*b,body"));

        // No name fits: no list.
        typeAndAnswer("x", QJsonArray{"constructor"});
        QVERIFY(!listOpen());
    }

    void theListSitsAboveThePromptInsideTheWindow() {
        enable();
        typeAndAnswer("document.bo", QJsonArray{"body"});
        QVERIFY(listOpen());
        const QJsonObject box =
            h->js("(() => { const s = document.getElementById('suggest').getBoundingClientRect(); "
                  "const p = document.getElementById('prompt').getBoundingClientRect(); "
                  "const e = document.getElementById('entry').getBoundingClientRect(); "
                  "return {left: s.left, right: s.right, bottom: s.bottom, prompt: p.top, input: e.left, "
                  "width: innerWidth}; })()")
                .toJsonObject();
        QCOMPARE(qRound(box.value("prompt").toDouble() - box.value("bottom").toDouble()), 4);
        // Under the prefix, not under the start of the input.
        QVERIFY(box.value("left").toDouble() > box.value("input").toDouble() + 40);

        // A long line pushes the list to the right edge, but never past 8 px from it.
        h->press(Qt::Key_Escape);
        clearInput();
        typeAndAnswer(QString(110, 'x') + " + document.bo", QJsonArray{"body"});
        QVERIFY(listOpen());
        const double right =
            h->js("document.getElementById('suggest').getBoundingClientRect().right").toDouble();
        QVERIFY2(right <= h->js("innerWidth").toDouble() - 8 + 0.5, qPrintable(QString::number(right)));
    }

    void inlineTextFollowsTypingButNotDeleting() {
        enable();
        typeAndAnswer("document.bo", QJsonArray{"body", "bold", "border"});
        QCOMPARE(options(), QString("*body,bold,border"));
        QCOMPARE(value(), QString("document.body"));
        QCOMPARE(selected(), QString("dy"));

        // Typing over the inline text replaces it.
        typeAndAnswer("r", QJsonArray{"body", "bold", "border"});
        QCOMPARE(value(), QString("document.border"));
        QCOMPARE(selected(), QString("der"));

        // Deleting: the inline text goes with the selection, and the next answer puts none back.
        h->press(Qt::Key_Backspace);
        QCOMPARE(value(), QString("document.bor"));
        h->press(Qt::Key_Backspace);
        QCOMPARE(value(), QString("document.bo"));
        QVERIFY(h->waitForMessages("complete", 3));
        QTest::qWait(120);
        answerLast(QJsonArray{"body", "bold", "border"});
        QVERIFY(listOpen());
        QCOMPARE(value(), QString("document.bo"));
        QCOMPARE(options(), QString("*body,bold,border"));

        // Moving through the list puts the chosen option inline again.
        h->press(Qt::Key_Down);
        QCOMPARE(options(), QString("body,*bold,border"));
        QCOMPARE(value(), QString("document.bold"));
        QCOMPARE(selected(), QString("ld"));
        h->press(Qt::Key_Down);
        h->press(Qt::Key_Down); // stays on the last one
        QCOMPARE(options(), QString("body,bold,*border"));
        QCOMPARE(value(), QString("document.border"));
        h->press(Qt::Key_Up);
        QCOMPARE(value(), QString("document.bold"));
    }

    void tabAcceptsAndEscapeCloses() {
        enable();
        // Tab with nothing to accept does nothing (and keeps focus in the field).
        h->typeText("1");
        h->press(Qt::Key_Tab);
        QCOMPARE(value(), QString("1"));
        QCOMPARE(h->js("document.activeElement.id").toString(), QString("entry"));
        clearInput();

        typeAndAnswer("document.bo", QJsonArray{"body", "bold"});
        h->press(Qt::Key_Tab);
        QVERIFY(!listOpen());
        QCOMPARE(value(), QString("document.body"));
        QCOMPARE(selected(), QString());
        QCOMPARE(caret(), 13);

        // Escape takes the inline text back out.
        typeAndAnswer(".inner", QJsonArray{"innerText", "innerHTML"});
        QCOMPARE(value(), QString("document.body.innerHTML"));
        h->press(Qt::Key_Escape);
        QVERIFY(!listOpen());
        QCOMPARE(value(), QString("document.body.inner"));

        // After a deletion nothing is inline, but Tab still takes the chosen option.
        clearInput();
        typeAndAnswer("document.boo", QJsonArray{"body"});
        QVERIFY(!listOpen());
        h->press(Qt::Key_Backspace);
        QVERIFY(h->waitForMessages("complete", 4));
        QTest::qWait(120);
        answerLast(QJsonArray{"body", "bold"});
        QCOMPARE(value(), QString("document.bo"));
        h->press(Qt::Key_Tab);
        QCOMPARE(value(), QString("document.body"));
        QVERIFY(!listOpen());

        // Return with inline text runs what the field shows.
        clearInput();
        typeAndAnswer("document.ti", QJsonArray{"title"});
        h->press(Qt::Key_Return);
        QVERIFY(h->waitForMessages("eval"));
        QCOMPARE(h->host().messages("eval").last().value("text").toString(), QString("document.title"));
        QVERIFY(!listOpen());
    }

    void pressingAnOptionTakesIt() {
        enable();
        typeAndAnswer("document.bo", QJsonArray{"body", "bold", "border"});
        QCOMPARE(value(), QString("document.body"));
        const bool cancelled = h->js("!document.querySelectorAll('#suggest .option')[2].dispatchEvent("
                                     "new MouseEvent('mousedown', {bubbles: true, cancelable: true}))")
                                   .toBool();
        QVERIFY(cancelled); // so the press does not take focus from the field
        QCOMPARE(value(), QString("document.border"));
        QCOMPARE(caret(), 15);
        QVERIFY(!listOpen());
        QCOMPARE(h->js("document.activeElement.id").toString(), QString("entry"));

        // Also after a deletion, when nothing was inline.
        typeAndAnswer("x", QJsonArray{});
        h->press(Qt::Key_Backspace);
        h->press(Qt::Key_Backspace);
        QVERIFY(h->waitForMessages("complete", 3));
        QTest::qWait(120);
        answerLast(QJsonArray{"borderRadius", "border"});
        QCOMPARE(value(), QString("document.borde"));
        h->js("document.querySelectorAll('#suggest .option')[1].dispatchEvent("
              "new MouseEvent('mousedown', {bubbles: true, cancelable: true}))");
        QCOMPARE(value(), QString("document.borderRadius"));
    }

    void losingFocusClosesTheList() {
        enable();
        typeAndAnswer("document.bo", QJsonArray{"body"});
        QVERIFY(listOpen());
        h->js("document.getElementById('entry').blur()");
        QVERIFY(!listOpen());
        QCOMPARE(value(), QString("document.bo"));

        // A press on the prompt row brings the focus back.
        h->js(
            "document.getElementById('prompt').dispatchEvent(new MouseEvent('mousedown', {bubbles: true}))");
        QTRY_COMPARE(h->js("document.activeElement.id").toString(), QString("entry"));
        // But not while the prompt is off.
        h->js("document.getElementById('entry').blur()");
        enable(false);
        h->js(
            "document.getElementById('prompt').dispatchEvent(new MouseEvent('mousedown', {bubbles: true}))");
        QTest::qWait(50);
        QVERIFY(h->js("document.activeElement.id").toString() != QString("entry"));
    }
};

int main(int argc, char** argv) {
    TranscriptHarness::prepareEnvironment();
    QApplication app(argc, argv);
    TstTranscriptPrompt test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_transcript_prompt.moc"
