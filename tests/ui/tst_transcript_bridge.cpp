// The transcript bridge over a real engine: what it sends the page as the hub and the window's state
// change, what it does with the page's messages, its context menu, keyboard zoom and navigation.
#include "base/Preferences.h"
#include "console/ConsoleHub.h"
#include "ui/TranscriptBridge.h"

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
    return {.page = page, .text = text, .stack = std::move(stack)};
}

} // namespace

class TestTranscriptBridge : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefs;
    std::unique_ptr<ConsoleHub> m_hub;
    std::unique_ptr<TranscriptBridge> m_bridge;
    QStringList m_scripts;

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
            if (script.startsWith("SC.reset") || script.startsWith("SC.append")) {
                QStringList texts;
                for (const auto& match : QRegularExpression("\"text\":\"([^\"]*)\"").globalMatch(script))
                    texts << match.captured(1);
                script = script.section('(', 0, 0) + ":" + texts.join(',');
            }
            shown << script;
        }
        return shown;
    }
    bool load() { return QSignalSpy(m_bridge.get(), &TranscriptBridge::loaded).wait(20000); }
    void start() {
        m_bridge->update({.scope = kDevice});
        QVERIFY(load());
        sent();
    }

private slots:
    void initTestCase() { QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_prefs.path()); }
    void init() {
        QSettings(QSettings::NativeFormat, QSettings::UserScope, "norvik", "tavolin").clear();
        m_hub = std::make_unique<ConsoleHub>();
        m_bridge = std::make_unique<TranscriptBridge>(m_hub.get(), nullptr);
        connect(m_bridge.get(), &TranscriptBridge::scriptRun, this,
                [this](const QString& s) { m_scripts << s; });
        m_bridge->show();
    }

    void queuedUntilLoaded() {
        m_hub->append(entry(u"a"_s));
        m_bridge->update({.scope = kDevice, .search = u"x"_s});
        m_hub->append(entry(u"b"_s));
        m_bridge->update({.scope = kDevice, .problemsOnly = false, .search = u"b"_s, .follow = false});
        QVERIFY(m_scripts.isEmpty());
        QVERIFY(load());
        QCOMPARE(sent().join('|'),
                 u"SC.prompt({enabled: false, label: \"Select a webview to run JavaScript\"})|"
                 "SC.follow(true)|SC.filter({problems: false, search: \"x\"})|SC.reset:a|"
                 "SC.follow(false)|SC.filter({problems: false, search: \"b\"})|SC.append:b"_s);
        // The page shows the last state: a is filtered out.
        QCOMPARE(js("document.querySelector('.group:not(.hidden) .text').textContent").toString(), u"b"_s);
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
        // Input typed in the page runs there and comes back as a row.
        js("SC.prompt({enabled: true}); const e = document.querySelector('#entry'); e.value = '6 * 7'; "
           "e.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter'}))");
        QTRY_COMPARE(m_hub->entries(ConsoleScope::page(kPage)).value(1).kind, EntryKind::input);
        QCOMPARE(sent(), QStringList{"SC.append:6 * 7"});
    }

    void rowFields() {
        const ConsoleEntry a =
            entry(u"a"_s, kPage,
                  {{u"f"_s, u"https://x.example/js/app.js?v=2"_s, 3, 4}, {u"g"_s, u"not a url"_s, 5, 1}});
        m_hub->append(a);
        m_bridge->update({.scope = kDevice});
        QVERIFY(load());
        QVERIFY(m_scripts.last().contains(
            R"("frames":[{"f":"f","l":3,"u":"app.js"},{"f":"g","l":5,"u":"not a url"}])"));
        QVERIFY(m_scripts.last().contains(R"("page":"")")); // the hub does not know the page

        // The page's own console repeats its last message: that row's chip follows.
        m_hub->repeated(kPage, 3);
        QCOMPARE(m_scripts.last(), u"SC.repeat(\"%1\", 3)"_s.arg(Uuid::text(a.id)));
        QTRY_COMPARE(js("document.querySelector('.chip.repeat')?.textContent").toString(), u"\u00D73"_s);
    }

    void menus() {
        const ConsoleEntry a = entry(u"a"_s);
        m_hub->append(a);
        m_bridge->update({.scope = kDevice});
        const std::pair<QString, QString> cases[] = {
            {R"({"text": "a"})", "Copy Line,Select All"},
            {R"({})", "Select All"},
            {R"({"selection": "s", "text": "a", "object": "o1", "entry": "ID"})",
             "Copy,Copy Line,Copy as JSON,Copy as JavaScript,Select All"},
            {R"({"text": "a", "object": "o1", "entry": "unknown"})", "Copy Line,Select All"}};
        for (auto [report, offered] : cases) {
            report.replace("ID", Uuid::text(a.id));
            std::unique_ptr<QMenu> menu(
                m_bridge->contextMenu(QJsonDocument::fromJson(report.toUtf8()).object()));
            QStringList texts;
            for (const QAction* action : menu->actions())
                texts << action->text();
            QCOMPARE(texts.filter(QRegularExpression(".")).join(','), offered);
        }
    }

    void keyboardZoom() {
        start();
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

    // Links, new windows, forms and reloads all leave the document as it is.
    void navigatesNowhere() {
        start();
        js("window.stays = true; const add = (tag, props) => "
           "document.body.appendChild(Object.assign(document.createElement(tag), props)); "
           "add('a', {href: 'https://example.com/'}).click(); "
           "add('a', {href: 'https://example.com/', target: '_blank'}).click(); "
           "add('form', {method: 'post', action: 'https://example.com/'}).submit(); location.reload()");
        QTest::qWait(500);
        QVERIFY(js("window.stays === true && typeof SC === 'object'").toBool());
    }
};

QTEST_MAIN(TestTranscriptBridge)
#include "tst_transcript_bridge.moc"
