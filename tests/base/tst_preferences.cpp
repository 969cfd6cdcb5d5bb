// The preferences' defaults, a round trip through the store, and stored values out of range.
#include "base/Preferences.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestPreferences : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    static QSettings store() {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, "norvik", "tavolin");
    }

private slots:
    void init() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
        store().clear();
    }

    void defaultsAndRoundTrip() {
        QCOMPARE(Preferences::mcpEnabled(), false);
        QCOMPARE(Preferences::mcpPort(), 49876);
        QCOMPARE(Preferences::transcriptZoom(), 1.0);
        QCOMPARE(Preferences::alwaysOnTop(), false);
        QCOMPARE(Preferences::badgeEnabled(), true);
        QCOMPARE(Preferences::badgePlacement(), "topRight");
        Preferences::setMcpEnabled(true);
        Preferences::setMcpPort(50100);
        Preferences::setTranscriptZoom(1.25);
        Preferences::setAlwaysOnTop(true);
        Preferences::setBadgeEnabled(false);
        Preferences::setBadgePlacement("bottomLeft");
        QCOMPARE(store().value("mcpPort").toInt(), 50100); // under the names earlier versions used
        QVERIFY(Preferences::mcpEnabled() && Preferences::alwaysOnTop() && !Preferences::badgeEnabled());
        QCOMPARE(Preferences::mcpPort(), 50100);
        QCOMPARE(Preferences::transcriptZoom(), 1.25);
        QCOMPARE(Preferences::badgePlacement(), "bottomLeft");
        Preferences::setTranscriptZoom(7);
        QCOMPARE(Preferences::transcriptZoom(), 3.0);
    }

    void storedValuesOutOfRange_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<double>("read");
        QTest::newRow("port too large") << "mcpPort" << QVariant(70000) << 49876.0;
        QTest::newRow("port zero") << "mcpPort" << QVariant(0) << 49876.0;
        QTest::newRow("port negative") << "mcpPort" << QVariant(-5) << 49876.0;
        QTest::newRow("port not a number") << "mcpPort" << QVariant("eighty") << 49876.0;
        QTest::newRow("zoom too large") << "transcriptZoom" << QVariant(9.5) << 3.0;
        QTest::newRow("zoom too small") << "transcriptZoom" << QVariant(0.1) << 0.5;
        QTest::newRow("zoom not a number") << "transcriptZoom" << QVariant("big") << 1.0;
        QTest::newRow("zoom nan") << "transcriptZoom" << QVariant("nan") << 1.0;
    }
    void storedValuesOutOfRange() {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(double, read);
        store().setValue(key, stored);
        QCOMPARE(key == "mcpPort" ? double(Preferences::mcpPort()) : Preferences::transcriptZoom(), read);
    }
};

QTEST_GUILESS_MAIN(TestPreferences)
#include "tst_preferences.moc"
