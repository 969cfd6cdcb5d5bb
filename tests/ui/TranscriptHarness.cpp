#include "TranscriptHarness.h"

#include "TranscriptDocument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>

void TranscriptHarness::prepareEnvironment(const QByteArray& extraChromiumFlags) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    for (const QByteArray& flag :
         {QByteArray("--no-sandbox"), QByteArray("--disable-gpu"), extraChromiumFlags})
        if (!flag.isEmpty() && !flags.contains(flag))
            flags += (flags.isEmpty() ? "" : " ") + flag;
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

TranscriptHarness::TranscriptHarness(int width, int height)
    : m_host(std::make_unique<RecordingHost>()), m_view(std::make_unique<QWebEngineView>()) {
    m_view->resize(width, height);
}

TranscriptHarness::~TranscriptHarness() {
    // The page must go before the host object it calls.
    m_view.reset();
}

bool TranscriptHarness::load() {
    QSignalSpy loaded(m_view->page(), &QWebEnginePage::loadFinished);
    TranscriptDocument::load(m_view->page(), m_host.get());
    m_view->show();
    if (!loaded.wait(20000) || !loaded.first().first().toBool())
        return false;
    // The channel comes up asynchronously; wait until the page can reach the host object.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        if (js(QStringLiteral("typeof SC === 'object' && !!window.qt && !!qt.webChannelTransport"))
                .toBool()) {
            // Key events reach the page on another path than scripts do; counting key releases lets
            // typeText() and press() wait until the page has handled them.
            js(QStringLiteral("window.keyReleases = 0; document.addEventListener('keyup', () => "
                              "window.keyReleases++, true)"));
            return true;
        }
        QTest::qWait(20);
    }
    return false;
}

QVariant TranscriptHarness::js(const QString& script) {
    QVariant result;
    bool done = false;
    QEventLoop loop;
    m_view->page()->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        done = true;
        loop.quit();
    });
    if (!done) {
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return result;
}

QVariant TranscriptHarness::call(const QString& method, const QJsonArray& args) {
    auto json = QString::fromUtf8(QJsonDocument(args).toJson(QJsonDocument::Compact));
    json = json.mid(1, json.size() - 2);
    return js(QStringLiteral("SC.%1(%2)").arg(method, json));
}

bool TranscriptHarness::waitForMessages(const QString& type, int count, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (m_host->messages(type).size() < count) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

QWidget* TranscriptHarness::input() const {
    return m_view->focusProxy() ? m_view->focusProxy() : m_view.get();
}

int TranscriptHarness::keyReleases() {
    return js(QStringLiteral("window.keyReleases")).toInt();
}

bool TranscriptHarness::waitForKeyReleases(int count) {
    QElapsedTimer clock;
    clock.start();
    while (keyReleases() < count) {
        if (clock.elapsed() > 5000)
            return false;
        QTest::qWait(2);
    }
    return true;
}

bool TranscriptHarness::typeText(const QString& text) {
    const int before = keyReleases();
    for (const QChar c : text)
        QTest::keyClick(input(), c.toLatin1());
    return waitForKeyReleases(before + int(text.size()));
}

bool TranscriptHarness::press(int key, Qt::KeyboardModifiers modifiers) {
    const int before = keyReleases();
    QTest::keyClick(input(), static_cast<Qt::Key>(key), modifiers);
    return waitForKeyReleases(before + 1);
}

QJsonObject entry(const QString& id, const QString& text, const QJsonObject& fields) {
    QJsonObject e{{"id", id},
                  {"time", "12:00:00"},
                  {"level", "log"},
                  {"kind", "message"},
                  {"text", text},
                  {"location", ""},
                  {"repeat", 1},
                  {"page", ""},
                  {"frames", QJsonArray()},
                  {"objects", QJsonArray()}};
    for (auto it = fields.begin(); it != fields.end(); ++it)
        e.insert(it.key(), it.value());
    return e;
}
