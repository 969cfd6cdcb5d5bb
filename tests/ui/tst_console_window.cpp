// A console window over a hub fed by a fake simulator: the heading, the first device adopted, Clear,
// the settings shared by two windows, a page's console live in the transcript with input run from
// the prompt, and screenshots of a populated window in the scheme TAVOLIN_WINDOW_SCHEME names
// ("light" or "dark"), left next to the test as window-<scheme>.png.
#include "agent/MCPServer.h"
#include "console/ConsoleHub.h"
#include "support/FakeSimulator.h"
#include "support/ScriptedDiscovery.h"
#include "ui/ConsoleActions.h"
#include "ui/ConsoleUI.h"
#include "ui/ConsoleWindow.h"
#include "ui/Icons.h"
#include "ui/SidebarView.h"
#include "ui/TranscriptBridge.h"

#include <QAccessible>
#include <QApplication>
#include <QJsonArray>
#include <QLineEdit>
#include <QSettings>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QWebEnginePage>

using namespace Qt::StringLiterals;

namespace {

const QString kScheme = qEnvironmentVariable("TAVOLIN_WINDOW_SCHEME", "light");
const QString kPhone = u"11111111-1111-1111-1111-111111111111"_s;
const QString kPad = u"22222222-2222-2222-2222-222222222222"_s;
const PageKey kShop{kPhone, u"PID:4711"_s, 1}, kDocs{kPhone, u"PID:4711"_s, 2},
    kBundle{kPhone, u"com.example.mail"_s, 3};

// An iPhone with Safari (Shop with a console history, Docs held by another inspector) and Mail (a
// page inside its bundle), and an iPad with no webviews.
struct Simulators {
    FakeSimulator phone;
    FakeSimulator pad;
    ScriptedDiscovery script;

    Simulators() {
        phone.start();
        pad.start();
        phone.addApp({kShop.appID, u"Safari"_s, std::nullopt, std::nullopt});
        phone.addApp({kBundle.appID, u"Mail"_s, std::nullopt, std::nullopt});
        auto shop = FakeInspectorDaemon::page(kShop.pageID, u"Shop"_s, u"https://shop.example/cart"_s);
        shop.backlog = {QJsonObject{{"level", "error"}, {"text", "Cart failed to load"}},
                        QJsonObject{{"level", "warning"}, {"text", "Slow response"}},
                        QJsonObject{{"level", "log"}, {"text", "cart loaded"}}};
        phone.addPage(kShop.appID, shop);
        auto docs = FakeInspectorDaemon::page(kDocs.pageID, u"Docs"_s, u"https://docs.example/"_s);
        docs.heldBy = u"ELSEWHERE"_s;
        phone.addPage(kDocs.appID, docs);
        phone.addPage(kBundle.appID,
                      FakeInspectorDaemon::page(kBundle.pageID, u"Inbox"_s,
                                                u"file:///var/Bundle/Mail.app/www/index.html"_s));
        // The page answers 6*7, an object named cart with one property, and completions.
        phone.setAnswerer([](const FakeInspectorDaemon::Command& command)
                              -> std::optional<FakeInspectorDaemon::Answer> {
            using Answer = FakeInspectorDaemon::Answer;
            const QString expression = command.params["expression"].toString();
            if (command.method == "Runtime.getProperties"_L1)
                return Answer::result(
                    {{"properties",
                      QJsonArray{QJsonObject{
                          {"name", "items"},
                          {"value", QJsonObject{{"type", "number"}, {"value", 3}, {"description", "3"}}}}}}});
            if (command.method != "Runtime.evaluate"_L1)
                return std::nullopt;
            if (command.params["objectGroup"] == "completion"_L1)
                return Answer::result(
                    {{"result", QJsonObject{{"type", "object"},
                                            {"value", QJsonArray{"cartItems", "cartTotal", "console"}}}}});
            if (expression == "cart"_L1)
                return Answer::result({{"result", QJsonObject{{"type", "object"},
                                                              {"objectId", "cart-1"},
                                                              {"className", "Object"},
                                                              {"description", "Object"}}}});
            return Answer::result(
                {{"result", QJsonObject{{"type", "number"}, {"value", 42}, {"description", "42"}}}});
        });
        script.simulators = {ScriptedDiscovery::simulator(kPhone, u"iPhone 15"_s, phone.socketPath()),
                             ScriptedDiscovery::simulator(kPad, u"iPad Air"_s, pad.socketPath())};
    }
};

} // namespace

class TestConsoleWindow : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefs; // the preferences of this run
    MCPServer m_server;

    // Runs a script in the transcript page and waits for its result.
    static QVariant js(ConsoleWindow& window, const QString& script) {
        auto result = std::make_shared<std::optional<QVariant>>();
        window.transcript()->page()->runJavaScript(script, [result](const QVariant& v) { *result = v; });
        (void)QTest::qWaitFor([&] { return result->has_value(); }, 10000);
        return result->value_or(QVariant());
    }
    static QString rows(ConsoleWindow& window) {
        return js(window, u"[...document.querySelectorAll('#log .text')].map(e => e.textContent).join('|')"_s)
            .toString();
    }

private slots:
    void initTestCase() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_prefs.path());
        if (kScheme == "dark"_L1) {
            QApplication::setStyle(QStyleFactory::create(u"Fusion"_s));
            QPalette dark;
            dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
            dark.setColor(QPalette::WindowText, Qt::white);
            dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
            dark.setColor(QPalette::AlternateBase, QColor(0x33, 0x33, 0x33));
            dark.setColor(QPalette::Text, Qt::white);
            dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
            dark.setColor(QPalette::ButtonText, Qt::white);
            dark.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
            dark.setColor(QPalette::Highlight, QColor(0x2f, 0x6f, 0xc6));
            dark.setColor(QPalette::HighlightedText, Qt::white);
            QApplication::setPalette(dark);
        }
        Icons::install();
    }

    // The title names the scope: device and runtime, application and process, page and address.
    void theHeadingFollowsTheSelection() {
        Simulators sims;
        ConsoleHub hub(sims.script.discovery());
        ConsoleActions actions(&hub);
        ConsoleWindow window(&hub, &actions, &m_server, QString());
        QCOMPARE(window.windowTitle(), u"Simulator"_s);

        // Opened for no device, it takes the first one found.
        QVERIFY(ScriptedDiscovery::scan(hub));
        QTRY_COMPARE(window.windowTitle(), u"iPhone 15 \u2014 iOS 17.5"_s);
        QTRY_VERIFY(hub.pages().contains(kBundle) && hub.pages().contains(kShop));
        const QList<std::pair<ConsoleScope, QString>> titles{
            {ConsoleScope::app({kPhone, kShop.appID}), u"Safari \u2014 PID 4711"_s},
            {ConsoleScope::app({kPhone, kBundle.appID}), u"Mail"_s},
            {ConsoleScope::page(kShop), u"Shop \u2014 shop.example/cart"_s},
            {ConsoleScope::page(kBundle), u"Inbox \u2014 www/index.html"_s},
            {ConsoleScope::page({kPhone, kShop.appID, 99}), u"Webview"_s},
            {ConsoleScope::app({kPhone, u"PID:1"_s}), u"App"_s},
            {ConsoleScope::device(u"gone"_s), u"Simulator"_s},
        };
        for (const auto& [scope, title] : titles) {
            window.setScope(scope);
            QCOMPARE(window.windowTitle(), title);
            QCOMPARE(window.sidebar()->scope(), scope);
        }
    }

    // Clear empties the whole device, whichever page is selected; the settings switch is shared
    // and hides the transcript's tools; every toolbar button is named by its text.
    void clearAndSettings() {
        Simulators sims;
        ConsoleHub hub(sims.script.discovery());
        ConsoleActions actions(&hub);
        ConsoleWindow one(&hub, &actions, &m_server, kPhone), two(&hub, &actions, &m_server, kPad);
        one.show();
        two.show();
        QVERIFY(ScriptedDiscovery::scan(hub));
        QTRY_COMPARE(hub.entryCount(ConsoleScope::device(kPhone)), 3);
        hub.append({.page = kBundle, .text = u"other page"_s});
        one.setScope(ConsoleScope::page(kShop));

        // Buttons are named by what they show; "&" shows as itself, not as a shortcut mark.
        const auto name = [](QWidget* widget) {
            return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
        };
        QStringList names;
        for (auto* button : one.findChildren<QToolButton*>()) {
            if (button->isVisible() && button->defaultAction()) {
                QCOMPARE(QString(button->text()).replace(u"&&"_s, u"&"_s), name(button));
                names << name(button);
            }
        }
        QCOMPARE(names, QStringList({"Settings", "Errors & warnings", "Follow", "Clear"}));
        const auto press = [&](ConsoleWindow& window, const QString& text) {
            for (auto* button : window.findChildren<QToolButton*>())
                if (button->defaultAction() && name(button) == text)
                    button->click();
        };
        press(one, u"Clear"_s);
        QCOMPARE(hub.entryCount(ConsoleScope::device(kPhone)), 0);

        // Whatever a person can press, type into or pick from has a name, in both states.
        const auto unnamed = [&] {
            static const QList<QAccessible::Role> kControls{
                QAccessible::Button,      QAccessible::PushButton,   QAccessible::CheckBox,
                QAccessible::RadioButton, QAccessible::EditableText, QAccessible::ComboBox,
                QAccessible::List,        QAccessible::Grip};
            QStringList found;
            for (auto* widget : one.findChildren<QWidget*>()) {
                QAccessibleInterface* a = QAccessible::queryAccessibleInterface(widget);
                if (widget->isVisible() && kControls.contains(a->role()) &&
                    a->text(QAccessible::Name).isEmpty())
                    found << widget->metaObject()->className();
            }
            return found;
        };
        QCOMPARE(unnamed(), QStringList());
        press(two, u"Settings"_s);
        QVERIFY(ConsoleUI::shared().showsSettings());
        QTRY_COMPARE(unnamed(), QStringList());
        QTRY_VERIFY(!one.filterField()->isVisible() && !one.transcript()->isVisible());
        press(one, u"Settings"_s);
        QTRY_VERIFY(one.filterField()->isVisible() && two.transcript()->isVisible());
    }

    // A page's console shows live; input from the prompt runs in the page and its result follows;
    // the filter narrows the rows. Ends with a screenshot of the populated window.
    void aPageLiveWithItsPrompt() {
        Simulators sims;
        ConsoleHub hub(sims.script.discovery());
        ConsoleActions actions(&hub);
        ConsoleWindow window(&hub, &actions, &m_server, kPhone);
        window.resize(1100, 620);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(ScriptedDiscovery::scan(hub));
        QTRY_COMPARE(hub.entryCount(ConsoleScope::device(kPhone)), 3);
        QTRY_COMPARE(rows(window), u"Cart failed to load|Slow response|cart loaded"_s);

        window.setScope(ConsoleScope::page(kShop));
        sims.phone.sendConsole(kShop.appID, kShop.pageID, {{"level", "info"}, {"text", "checkout ready"}});
        QTRY_COMPARE(rows(window), u"Cart failed to load|Slow response|cart loaded|checkout ready"_s);
        QTRY_VERIFY(js(window, u"!document.querySelector('#entry').disabled"_s).toBool());
        js(window, u"const e = document.querySelector('#entry'); e.value = '6*7';"
                   "e.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter', bubbles: true})); true"_s);
        QTRY_VERIFY(rows(window).endsWith(u"|6*7|42"_s));

        // An object comes back expandable; its properties come from the page when opened.
        js(window, u"const f = document.querySelector('#entry'); f.value = 'cart';"
                   "f.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter', bubbles: true})); true"_s);
        QTRY_VERIFY(rows(window).endsWith(u"|cart|Object"_s));
        js(window, u"[...document.querySelectorAll('.row.kind-result')].pop().click(); true"_s);
        QTRY_COMPARE(js(window, u"[...document.querySelectorAll('.node .name, .node .value')].map(e => "
                                "e.textContent).join(' ')"_s)
                         .toString(),
                     u"items: 3"_s);
        // Typing a name offers the page's completions.
        js(window, u"const g = document.querySelector('#entry'); g.focus(); g.value = 'car';"
                   "g.dispatchEvent(new InputEvent('input', {inputType: 'insertText', data: 'r'})); true"_s);
        QTRY_COMPARE(
            js(window, u"[...document.querySelectorAll('#suggest .option')].map(e => e.textContent).join()"_s)
                .toString(),
            u"cartItems,cartTotal"_s);
        js(window, u"document.querySelector('#entry').value = ''; true"_s);

        window.filterField()->setText(u"cart"_s);
        QTRY_COMPARE(js(window, u"[...document.querySelectorAll('#log .text')].filter(e => "
                                "e.getClientRects().length).length"_s)
                         .toInt(),
                     3); // the two messages and the input
        window.filterField()->clear();
        QTest::qWait(300);
        const QString path = QCoreApplication::applicationDirPath() + "/window-" + kScheme + ".png";
        QVERIFY(window.grab().save(path));
        qInfo() << "screenshot:" << path;
    }
};

// Chromium flags that work as root and without a GPU; shared GL contexts as the engine wants.
int main(int argc, char** argv) {
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
            QByteArray("--no-sandbox --disable-gpu ") + (kScheme == "dark"_L1 ? "--force-dark-mode" : ""));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestConsoleWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_console_window.moc"
