// The transcript bridge over a real engine: what it sends the page as the hub and the window's state
// change, what it does with the page's messages, its context menu, keyboard zoom and navigation.
#include "base/Preferences.h"
#include "console/ConsoleHub.h"
#include "ui/TranscriptBridge.h"

#include <QAction>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMenu>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const PageKey kPage{u"D"_s, u"PID:1"_s, 1}, kOther{u"D"_s, u"PID:1"_s, 2};
const ConsoleScope kDevice = ConsoleScope::device(u"D"_s);

ConsoleEntry entry(const QString& text, const PageKey& page = kPage, QList<StackFrame> stack = {}) {
    return {
        .page = page, .text = text, .receivedAt = QDateTime::currentDateTimeUtc(), .stack = std::move(stack)};
}

} // namespace

class TestTranscriptBridge : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefs;
    std::unique_ptr<ConsoleHub> m_hub;
    std::unique_ptr<TranscriptBridge> m_bridge;
    QStringList m_scripts;
    QJsonArray m_reset; // the rows of the last reset

    QVariant js(const QString& script) {
        auto result = std::make_shared<std::optional<QVariant>>();
        m_bridge->page()->runJavaScript(script, [result](const QVariant& value) { *result = value; });
        (void)QTest::qWaitFor([&] { return result->has_value(); }, 10000);
        return result->value_or(QVariant());
    }
    // The scripts run since the last call, once pending refreshes are done; entry lists as their texts.
    QStringList sent() {
        QCoreApplication::processEvents();
        QStringList shown;
        for (QString script : std::exchange(m_scripts, {})) {
            const auto open = script.indexOf('(');
            const QJsonArray list = QJsonDocument::fromJson(script.mid(open + 1).chopped(1).toUtf8()).array();
            if (script.startsWith("SC.reset") || script.startsWith("SC.append")) {
                m_reset = script.startsWith("SC.reset") ? list : m_reset;
                script = script.left(open) + ":";
                for (const auto& row : list)
                    script += (script.endsWith(':') ? "" : ",") + row.toObject()["text"].toString();
            }
            shown << script;
        }
        return shown;
    }
    void start(TranscriptState state = {.scope = kDevice}) {
        m_bridge->update(state);
        QSignalSpy loaded(m_bridge.get(), &TranscriptBridge::loaded);
        QVERIFY(loaded.wait(20000));
        sent();
    }
    void open() {
        m_bridge = std::make_unique<TranscriptBridge>(m_hub.get(), nullptr);
        connect(m_bridge.get(), &TranscriptBridge::scriptRun, this,
                [this](const QString& s) { m_scripts << s; });
        m_bridge->show();
    }
    QString rows() {
        return js("[...document.querySelectorAll('.group:not(.hidden) .text')].map(e => "
                  "e.textContent).join()")
            .toString();
    }

private slots:
    void initTestCase() { QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_prefs.path()); }
    void init() {
        QSettings(QSettings::NativeFormat, QSettings::UserScope, "norvik", "tavolin").clear();
        m_hub = std::make_unique<ConsoleHub>();
        open();
    }
    void cleanup() {
        m_bridge.reset();
        m_hub.reset();
    }

    void queuedUntilLoaded() {
        m_hub->append(entry(u"a"_s));
        m_bridge->update({.scope = kDevice, .search = u"x"_s});
        m_hub->append(entry(u"b"_s));
        m_bridge->update({.scope = kDevice, .problemsOnly = false, .search = u"b"_s, .follow = false});
        QVERIFY(m_scripts.isEmpty());
        QSignalSpy loaded(m_bridge.get(), &TranscriptBridge::loaded);
        QVERIFY(loaded.wait(20000));
        QCOMPARE(
            sent(),
            (QStringList{"SC.prompt({enabled: false, label: \"Select a webview to run JavaScript\"})",
                         "SC.follow(true)", "SC.filter({problems: false, search: \"x\"})", "SC.reset:a",
                         "SC.follow(false)", "SC.filter({problems: false, search: \"b\"})", "SC.append:b"}));
        QCOMPARE(rows(), u"b"_s);
    }

    void onlyDifferencesTravel() {
        m_hub->append(entry(u"a"_s));
        start();
        m_bridge->update(m_bridge->state());
        QCOMPARE(sent(), QStringList());
        m_hub->append(entry(u"b"_s));
        m_hub->append(entry(u"c"_s, kOther));
        m_hub->append(entry(u"elsewhere"_s, {u"E"_s, u"PID:1"_s, 1}));
        QCOMPARE(sent(), QStringList{"SC.append:b,c"});
        // Another device cleared: the rows shown are all still there.
        m_hub->clear(u"E"_s);
        m_hub->append(entry(u"d"_s));
        QCOMPARE(sent(), QStringList{"SC.append:d"});
        // The same newest entry in another scope still starts over.
        m_bridge->update({.scope = ConsoleScope::page(kPage)});
        QCOMPARE(sent().mid(1), QStringList{"SC.reset:a,b,d"});
        m_hub->clear(u"D"_s);
        QCOMPARE(sent(), QStringList{"SC.reset:"});
        m_hub->append(entry(u"e"_s));
        QCOMPARE(sent(), QStringList{"SC.append:e"});
        QCOMPARE(rows(), u"e"_s);
    }

    void rowFields() {
        const ConsoleEntry a =
            entry(u"a"_s, kPage,
                  {{u"f"_s, u"https://x.example/js/app.js?v=2"_s, 3, 4}, {u"g"_s, u"not a url"_s, 5, 1}});
        m_hub->append(a);
        start();
        const QJsonObject row = m_reset.first().toObject();
        QCOMPARE(row["id"].toString(), Uuid::text(a.id));
        QVERIFY(QRegularExpression(u"^\\d\\d:\\d\\d:\\d\\d$"_s).match(row["time"].toString()).hasMatch());
        QCOMPARE(row["frames"].toArray(),
                 (QJsonArray{QJsonObject{{"f", "f"}, {"u", "app.js"}, {"l", 3}},
                             QJsonObject{{"f", "g"}, {"u", "not a url"}, {"l", 5}}}));
        QCOMPARE(row["page"].toString(), QString()); // the hub does not know the page

        // The page's own console repeats its last message: that row's chip follows.
        m_hub->repeated(kPage, 3);
        QCOMPARE(sent(), QStringList{u"SC.repeat(\"%1\", 3)"_s.arg(Uuid::text(a.id))});
        QTRY_COMPARE(js("document.querySelector('.chip.repeat')?.textContent").toString(), u"\u00D73"_s);
    }

    // Input typed in the page becomes the page's input entry, delivered back as a row.
    void inputRuns() {
        start({.scope = ConsoleScope::page(kPage)});
        js("SC.prompt({enabled: true}); const e = document.querySelector('#entry'); e.value = '6 * 7'; "
           "e.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter'}))");
        QTRY_COMPARE(m_hub->entries(ConsoleScope::page(kPage)).value(0).kind, EntryKind::input);
        QCOMPARE(sent(), QStringList{"SC.append:6 * 7"});
    }

    void menus_data() {
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("offered");
        QTest::newRow("plain row") << R"({"text": "a"})"
                                   << "Copy Line,Select All";
        QTest::newRow("nothing") << R"({})"
                                 << "Select All";
        QTest::newRow("object") << R"({"selection": "s", "text": "a", "object": "o1", "entry": "ID"})"
                                << "Copy,Copy Line,Copy as JSON,Copy as JavaScript,Select All";
        QTest::newRow("unknown entry") << R"({"text": "a", "object": "o1", "entry": "X"})"
                                       << "Copy Line,Select All";
    }
    void menus() {
        QFETCH(QString, report);
        const ConsoleEntry a = entry(u"a"_s);
        m_hub->append(a);
        m_bridge->update({.scope = kDevice});
        report.replace("ID", Uuid::text(a.id));
        std::unique_ptr<QMenu> menu(m_bridge->contextMenu(QJsonDocument::fromJson(report.toUtf8()).object()));
        QStringList texts;
        for (const QAction* action : menu->actions())
            texts << action->text();
        QTEST(texts.filter(QRegularExpression(".")).join(','), "offered");
    }

    void keyboardZoom() {
        start();
        QVERIFY(QTest::qWaitForWindowActive(m_bridge.get()));
        const auto press = [&](const QString& keys, Qt::KeyboardModifiers with = Qt::ControlModifier) {
            for (const QChar key : keys)
                QTest::keyClick(m_bridge->focusProxy(), key.toLatin1(), with);
            return QString::number(m_bridge->zoomFactor()) + " " +
                   QString::number(Preferences::transcriptZoom());
        };
        QCOMPARE(press("==="), u"1.331 1.331"_s);
        QCOMPARE(press("=", Qt::ControlModifier | Qt::ShiftModifier), u"1.331 1.331"_s);
        QCOMPARE(press("0"), u"1 1"_s);
        QCOMPARE(press("---------"), u"0.5 0.5"_s);
        // The stored zoom opens the next transcript, within bounds; none stored is 1.
        for (const auto& [stored, opened] : {std::pair(QVariant(5), 3.0), {0, 1.0}, {QVariant(), 1.0}}) {
            QSettings(QSettings::NativeFormat, QSettings::UserScope, "norvik", "tavolin")
                .setValue("transcriptZoom", stored);
            QCOMPARE(TranscriptBridge(m_hub.get(), nullptr).zoomFactor(), opened);
        }
    }

    void navigatesNowhere_data() {
        QTest::addColumn<QString>("script");
        QTest::newRow("link") << "add('a', {href: 'https://example.com/'}).click()";
        QTest::newRow("new window") << "add('a', {href: 'https://example.com/', target: '_blank'}).click()";
        QTest::newRow("form") << "add('form', {method: 'post', action: 'https://example.com/'}).submit()";
        QTest::newRow("reload") << "location.reload()";
    }
    void navigatesNowhere() {
        QFETCH(QString, script);
        start();
        js("window.stays = true; const add = (tag, props) => "
           "document.body.appendChild(Object.assign(document.createElement(tag), props)); " +
           script);
        QTest::qWait(400);
        QVERIFY(js("window.stays === true && typeof SC === 'object'").toBool());
    }
};

QTEST_MAIN(TestTranscriptBridge)
#include "tst_transcript_bridge.moc"
