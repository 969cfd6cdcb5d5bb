#pragma once

#include "ui/TranscriptDocument.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QList>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <memory>
#include <optional>

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

// Hosts the transcript page in a real engine, offscreen, and stands in for the program's transcript
// bridge: it is the page's "console" channel object and keeps every message the page posts, in order.
//
// Once loaded, the page also offers the tests short helpers (kHelpers above):
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
class TranscriptHarness : public QObject {
    Q_OBJECT
public:
    // Call before the QApplication exists: offscreen platform, Chromium flags that work as root and
    // without a GPU, shared GL contexts. `extraChromiumFlags` are appended (e.g. a colour scheme).
    static void prepareEnvironment(const QByteArray& extraChromiumFlags = {}) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu " + extraChromiumFlags);
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    }

    ~TranscriptHarness() override { m_view.reset(); } // the page must go before the host object it calls

    // Loads the document and waits until it has finished loading and the channel answers.
    bool load() {
        QSignalSpy loaded(m_view->page(), &QWebEnginePage::loadFinished);
        TranscriptDocument::load(m_view->page(), this);
        m_view->resize(900, 600);
        m_view->show();
        // Loaded, and the channel is up: the page can reach its host. Then the helpers, which end in true.
        const auto ready = [&] {
            return js("typeof SC === 'object' && !!window.qt?.webChannelTransport").toBool();
        };
        return loaded.wait(20000) && loaded.first().first().toBool() && QTest::qWaitFor(ready) &&
               js(kHelpers).toBool();
    }

    // Runs a script in the page and waits for its result.
    QVariant js(const QString& script) {
        auto result =
            std::make_shared<std::optional<QVariant>>(); // shared: the answer may come after a timeout
        m_view->page()->runJavaScript(script, [result](const QVariant& value) { *result = value; });
        (void)QTest::qWaitFor([&] { return result->has_value(); }, 10000);
        return result->value_or(QVariant());
    }

    // The messages of `type` the page has posted; waits until there are `count` of them.
    QList<QJsonObject> messages(const QString& type) const {
        QList<QJsonObject> found;
        for (const QJsonObject& message : m_messages)
            if (message["type"] == type)
                found << message;
        return found;
    }
    bool waitForMessages(const QString& type, int count = 1, int timeoutMs = 5000) {
        return QTest::qWaitFor([&] { return messages(type).size() >= count; }, timeoutMs);
    }

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

    QWebEngineView& view() { return *m_view; }

public slots:
    void post(const QJsonObject& message) { m_messages.append(message); }

private:
    std::unique_ptr<QWebEngineView> m_view = std::make_unique<QWebEngineView>();
    QList<QJsonObject> m_messages;
    int m_keys = 0; // keys sent to the page so far
};
