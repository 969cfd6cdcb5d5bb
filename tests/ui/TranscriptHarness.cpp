#include "TranscriptHarness.h"

#include "ui/TranscriptDocument.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <algorithm>
#include <optional>

namespace {

// Counting key releases lets the input helpers wait until the page has handled their keys: key events
// reach the page on another path than scripts do.
constexpr auto kHelpers = R"(
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

} // namespace

void TranscriptHarness::prepareEnvironment(const QByteArray& extraChromiumFlags) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu " + extraChromiumFlags);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

TranscriptHarness::~TranscriptHarness() {
    m_view.reset(); // the page must go before the host object it calls
}

bool TranscriptHarness::load() {
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

QVariant TranscriptHarness::js(const QString& script) {
    auto result = std::make_shared<std::optional<QVariant>>(); // shared: the answer may come after a timeout
    m_view->page()->runJavaScript(script, [result](const QVariant& value) { *result = value; });
    (void)QTest::qWaitFor([&] { return result->has_value(); }, 10000);
    return result->value_or(QVariant());
}

QList<QJsonObject> TranscriptHarness::messages(const QString& type) const {
    QList<QJsonObject> found;
    std::copy_if(m_messages.begin(), m_messages.end(), std::back_inserter(found),
                 [&](const QJsonObject& message) { return message["type"] == type; });
    return found;
}

bool TranscriptHarness::waitForMessages(const QString& type, int count, int timeoutMs) {
    return QTest::qWaitFor([&] { return messages(type).size() >= count; }, timeoutMs);
}

bool TranscriptHarness::typeText(const QString& text) {
    for (const QChar c : text)
        QTest::keyClick(m_view->focusProxy(), c.toLatin1());
    m_keys += int(text.size());
    return QTest::qWaitFor([&] { return js("window.keyReleases").toInt() >= m_keys; });
}

bool TranscriptHarness::press(int key) {
    QTest::keyClick(m_view->focusProxy(), static_cast<Qt::Key>(key));
    ++m_keys;
    return typeText({}); // which waits until the page has handled it
}
