// The settings pane against real shared objects: the port it accepts, the picker it locks, what it
// shows of the agent endpoint, and two panes agreeing. Leaves settings-light.png and settings-dark.png
// beside the test for people to look at.
#include "agent/MCPServer.h"
#include "base/Preferences.h"
#include "console/ConsoleHub.h"
#include "support/ScriptedDiscovery.h"
#include "ui/BadgeSettings.h"
#include "ui/CommandBlock.h"
#include "ui/Icons.h"
#include "ui/SettingsPane.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QStyle>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using namespace Qt::StringLiterals;

namespace {

template <class T> T* named(const QWidget& pane, const QString& name) {
    for (T* child : pane.findChildren<T*>())
        if (child->accessibleName() == name)
            return child;
    return nullptr;
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QPalette darkPalette() {
    QPalette dark(QColor(0xe8e8e8), QColor(0x3a3a3a), QColor(0x505050), QColor(0x1a1a1a), QColor(0x4a4a4a),
                  QColor(0xe8e8e8), Qt::white, QColor(0x1c1c1c), QColor(0x2b2b2b));
    dark.setColor(QPalette::PlaceholderText, QColor(0x9a9a9a));
    dark.setColor(QPalette::Highlight, QColor(0x3d7bd9));
    return dark;
}

} // namespace

class TestSettingsPane : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefs;
    ScriptedDiscovery m_script;
    ConsoleHub m_hub{m_script.discovery()};
    MCPServer m_server;
    BadgeSettings m_badge;

    std::unique_ptr<SettingsPane> pane() {
        auto pane = std::make_unique<SettingsPane>(&m_hub, &m_server, &m_badge);
        pane->resize(640, pane->sizeHint().height());
        pane->show();
        return pane;
    }

private slots:
    void initTestCase() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_prefs.path());
        QApplication::setStyle(u"Fusion"_s);
        Icons::install();
        // The offscreen platform knows no icon folders of its own.
        QIcon::setThemeSearchPaths(QIcon::themeSearchPaths() << u"/usr/share/icons"_s);
    }

    // Each text parsed, then typed into the field: a port from 1025 up is stored, anything else
    // puts the stored port back.
    void portEntry_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port"); // -1: refused
        const QList<std::pair<QString, int>> rows = {
            {u"+1025"_s, 1025},      {u"1024"_s, 1024}, {u"0"_s, 0},      {u"65535"_s, 65535},
            {u"000080"_s, 80},       {u"65536"_s, -1},  {u"70000"_s, -1}, {u"99999999999"_s, -1},
            {u"abc"_s, -1},          {u""_s, -1},       {u"+"_s, -1},     {u"++80"_s, -1},
            {u"-5"_s, -1},           {u" 8080"_s, -1},  {u"8080 "_s, -1}, {u"8e3"_s, -1},
            {u"\u0661\u0662"_s, -1}, // digits of another script
        };
        for (const auto& [text, port] : rows)
            QTest::addRow("'%s'", qPrintable(text)) << text << port;
    }
    void portEntry() {
        QFETCH(QString, text);
        QFETCH(int, port);
        const std::optional<quint16> parsed = SettingsPane::parsePort(text);
        QCOMPARE(parsed ? int(*parsed) : -1, port);

        m_server.setPort(40000);
        const auto settings = pane();
        auto* field = named<QLineEdit>(*settings, u"Port"_s);
        field->setText(text);
        QTest::keyClick(field, Qt::Key_Return);
        const bool accepted = port >= 1025;
        QCOMPARE(Preferences::mcpPort(), accepted ? port : 40000);
        QCOMPARE(field->text(), accepted ? text : u"40000"_s);
    }

    void badgePickerLockedWhileOff() {
        m_badge.setEnabled(true);
        m_badge.setPlacement(u"left"_s);
        const auto settings = pane();
        auto* right = named<QToolButton>(*settings, u"Right"_s);
        auto* badgeToggle = named<QCheckBox>(*settings, u"Show a badge on Simulator windows"_s);
        badgeToggle->click();
        QVERIFY(!m_badge.isEnabled());
        QTest::mouseClick(right, Qt::LeftButton);
        QVERIFY(!right->isChecked());
        QCOMPARE(m_badge.placement(), u"left"_s);
        badgeToggle->click();
        QTest::mouseClick(right, Qt::LeftButton);
        QCOMPARE(m_badge.placement(), u"right"_s);
    }

    // Stopped, failing to start on a taken port, then running on a free one.
    void agentEndpoint() {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        m_server.setPort(taken.serverPort());
        const auto settings = pane();
        auto* address = named<QLabel>(*settings, u"not running"_s);
        QVERIFY(address);
        const QList<CommandBlock*> snippets = settings->findChildren<CommandBlock*>();
        QCOMPARE(snippets.size(), 2);
        for (CommandBlock* snippet : snippets)
            QVERIFY(snippet->text().contains(m_server.endpoint()));
        named<QToolButton>(*snippets[1], u"Copy"_s)->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), snippets[1]->text());

        auto* agentToggle = named<QCheckBox>(*settings, u"Let agents read the console"_s);
        agentToggle->click();
        QVERIFY(m_server.lastError() && !agentToggle->isChecked());
        QLabel* error = named<QLabel>(*settings, *m_server.lastError());
        QVERIFY(error && error->isVisible());
        m_badge.setEnabled(false); // the picker greyed out, too
        for (const auto& [name, palette] : {std::pair(u"light"_s, QApplication::style()->standardPalette()),
                                            std::pair(u"dark"_s, darkPalette())}) {
            // As a dark desktop has it.
            QIcon::setThemeName(name == u"dark"_s ? u"breeze-dark"_s : u"breeze"_s);
            QApplication::setPalette(palette);
            QApplication::processEvents(); // widgets learn of it from a posted event
            QVERIFY(
                settings->grab().save(QCoreApplication::applicationDirPath() + "/settings-" + name + ".png"));
        }
        QApplication::setPalette(QApplication::style()->standardPalette());
        QIcon::setThemeName(u"breeze"_s);

        taken.close();
        agentToggle->click();
        QVERIFY(m_server.isRunning() && agentToggle->isChecked());
        QVERIFY(!error->isVisible());
        QCOMPARE(address->text(), m_server.endpoint());
        // A new port moves the server, and the snippets follow.
        auto* field = named<QLineEdit>(*settings, u"Port"_s);
        field->setText(QString::number(freePort()));
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(m_server.isRunning() && address->text().contains(field->text()));
        for (CommandBlock* snippet : snippets)
            QVERIFY(snippet->text().contains(address->text()));
        m_server.setEnabled(false);
    }

    void panesAgree() {
        const auto first = pane(), second = pane();
        auto* inFirst = named<QCheckBox>(*first, u"Collect console output"_s);
        auto* inSecond = named<QCheckBox>(*second, u"Collect console output"_s);
        QVERIFY(inFirst->isChecked() && inSecond->isChecked());
        inFirst->click();
        QVERIFY(!m_hub.isCapturing() && !inSecond->isChecked());
        m_badge.setPlacement(u"toolbar"_s);
        QVERIFY(named<QToolButton>(*second, u"Toolbar"_s)->isChecked());
        named<QCheckBox>(*first, u"Keep messages when a page loads"_s)->click();
        QVERIFY(Preferences::keepAcrossLoads() &&
                named<QCheckBox>(*second, u"Keep messages when a page loads"_s)->isChecked());
    }
};

QTEST_MAIN(TestSettingsPane)
#include "tst_settings_pane.moc"
