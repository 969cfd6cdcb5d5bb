#include "inspector/ConsoleEntry.h"
#include "inspector/ConsoleLevel.h"
#include "console/ConsoleScope.h"
#include "inspector/ObjectKey.h"
#include "inspector/PropertyNode.h"
#include "inspector/RemoteObjectRef.h"
#include "base/Uuid.h"

#include <QSet>
#include <QTest>

#include <optional>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

ConsoleEntry entryAt(const QString& url, qint64 line) {
    return ConsoleEntry{.page = {"D", "A", 1}, .url = url, .line = line};
}

} // namespace

class TestConsoleRecords : public QObject {
    Q_OBJECT

private slots:
    void rawValues() {
        for (ConsoleLevel level : allConsoleLevels) {
            QCOMPARE(consoleLevelFromRawValue(QStringView(rawValue(level))), level);
            QCOMPARE(consoleLevelFromRawValue(std::string_view(rawValue(level).toStdString())), level);
        }
        // Case-sensitive, and no abbreviations.
        QCOMPARE(consoleLevelFromRawValue(u"Error"), std::nullopt);
        QCOMPARE(consoleLevelFromRawValue(std::string_view("warn")), std::nullopt);
    }

    void levelOfMessage_data() {
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("source");
        QTest::addColumn<ConsoleLevel>("expected");
        // An empty column stands for a missing field.
        const auto row = [](const char* name, const char* level, const char* source, ConsoleLevel expected) {
            QTest::newRow(name) << QString(level) << QString(source) << expected;
        };
        row("log from javascript is an uncaught exception", "log", "javascript", ConsoleLevel::error);
        row("log from the console api", "log", "console-api", ConsoleLevel::log);
        row("warning keeps its level over javascript", "warning", "javascript", ConsoleLevel::warning);
        row("error", "error", "network", ConsoleLevel::error);
        row("nothing at all", "", "", ConsoleLevel::log);
        row("no level, javascript", "", "javascript", ConsoleLevel::error);
        row("unknown level", "verbose", "console-api", ConsoleLevel::log);
        row("source is case-sensitive", "log", "JavaScript", ConsoleLevel::log);
    }

    void levelOfMessage() {
        QFETCH(QString, level);
        QFETCH(QString, source);
        QFETCH(ConsoleLevel, expected);
        const std::string levelText = level.toStdString();
        const std::string sourceText = source.toStdString();
        const auto optional = [](const std::string& text) {
            return text.empty() ? std::nullopt : std::optional<std::string_view>(text);
        };
        QCOMPARE(consoleLevelFromMessage(optional(levelText), optional(sourceText)), expected);
    }

    void location_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<qint64>("line");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("file name and line")
            << "https://example.com/js/app.js" << qint64(42) << std::optional<QString>("app.js:42");
        QTest::newRow("line 0 is left out")
            << "https://example.com/js/app.js" << qint64(0) << std::optional<QString>("app.js");
        QTest::newRow("no url") << "" << qint64(12) << std::optional<QString>();
        QTest::newRow("not a url") << "not a url" << qint64(3) << std::optional<QString>("not a url:3");
        QTest::newRow("query and fragment dropped")
            << "https://example.com/a/b.js?v=2#top" << qint64(7) << std::optional<QString>("b.js:7");
        QTest::newRow("trailing slash")
            << "https://example.com/docs/" << qint64(1) << std::optional<QString>("docs:1");
        QTest::newRow("percent-encoded name")
            << "https://example.com/my%20file.js" << qint64(5) << std::optional<QString>("my file.js:5");
        QTest::newRow("root has no file name")
            << "https://example.com/" << qint64(2) << std::optional<QString>("https://example.com/:2");
    }

    void location() {
        QFETCH(QString, url);
        QFETCH(qint64, line);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(entryAt(url, line).location(), expected);
    }

    void entriesAreDistinctButCopiesAreTheSame() {
        const ConsoleEntry first{.text = "same"};
        const ConsoleEntry second{.text = "same"};
        QVERIFY(first.id != second.id);
        const ConsoleEntry copy = first;
        QCOMPARE(copy.id, first.id);
    }

    void propertyNodesBuiltSeparatelyDiffer() {
        const PropertyNode a{.name = "x", .value = "1", .objectID = "obj-1"};
        const PropertyNode b{.name = "x", .value = "1", .objectID = "obj-1"};
        QVERIFY(a != b);
        const PropertyNode copy = a;
        QCOMPARE(copy, a);
        QCOMPARE(qHash(copy), qHash(a));
        QSet<PropertyNode> nodes{a, b, copy};
        QCOMPARE(nodes.size(), 2);

        PropertyNode withoutObject = a;
        withoutObject.objectID.reset();
        QVERIFY(withoutObject != a);
        PropertyNode emptyObject = a;
        emptyObject.objectID = QString();
        QVERIFY(emptyObject != withoutObject);
        QVERIFY(qHash(emptyObject) != qHash(withoutObject));
    }

    void scopes() {
        const AppKey app{"D1", "PID:1"};
        const PageKey page{"D1", "PID:1", 3};
        const ConsoleScope device = ConsoleScope::device("D1");

        QVERIFY(ConsoleScope::page(page) != ConsoleScope::page({"D1", "PID:1", 4}));
        // The app and device ids are both "D1" here: the case alone must keep the scopes apart.
        QSet<ConsoleScope> set{device, ConsoleScope::app({"D1", "D1"}), ConsoleScope::device("D1"),
                               ConsoleScope::app(app), ConsoleScope::page(page)};
        QCOMPARE(set.size(), 4);
        std::unordered_set<ConsoleScope> stdSet{device, ConsoleScope::device("D1")};
        QCOMPARE(stdSet.size(), size_t(1));

        QCOMPARE(ConsoleScope::page(page).deviceID(), QStringLiteral("D1"));
        QVERIFY(device.contains(page));
        QVERIFY(!device.contains({"D2", "PID:1", 3}));
        QVERIFY(ConsoleScope::app(app).contains({"D1", "PID:1", 99}));
        QVERIFY(!ConsoleScope::app(app).contains({"D2", "PID:1", 3}));
        QVERIFY(!ConsoleScope::page(page).contains({"D1", "PID:1", 4}));
    }

    void keysHashOverAllFields() {
        const ObjectKey key{{"D", "A", 1}, "obj"};
        QSet<ObjectKey> keys{key, ObjectKey{{"D", "A", 1}, "obj"}, ObjectKey{{"D", "A", 2}, "obj"},
                             ObjectKey{{"E", "A", 1}, "obj"}, ObjectKey{{"D", "A", 1}, "other"}};
        QCOMPARE(keys.size(), 4);

        QSet<RemoteObjectRef> refs{{"1", "Object"}, {"1", "Object"}, {"1", "Array(2)"}, {"2", "Object"}};
        QCOMPARE(refs.size(), 3);
    }

    // Random (version 4) ids, none repeated, also when made on several threads at once: every thread
    // seeds a generator of its own, and no two may produce the same sequence.
    void uuids() {
        constexpr int perThread = 500;
        std::vector<std::vector<QUuid>> made(4);
        std::vector<std::thread> workers;
        for (auto& list : made)
            workers.emplace_back([&list] {
                for (int i = 0; i < perThread; ++i)
                    list.push_back(Uuid::create());
            });
        for (auto& worker : workers)
            worker.join();
        QSet<QUuid> all;
        for (const auto& list : made)
            all.unite(QSet<QUuid>(list.begin(), list.end()));
        QCOMPARE(all.size(), qsizetype(4 * perThread));
        QCOMPARE(made[0][0].version(), QUuid::Random);
        QCOMPARE(made[0][0].variant(), QUuid::DCE);

        const QUuid fixed("{6ba7b810-9dad-11d1-80b4-00c04fd430c8}");
        QCOMPARE(Uuid::text(fixed), QStringLiteral("6BA7B810-9DAD-11D1-80B4-00C04FD430C8"));
    }
};

QTEST_GUILESS_MAIN(TestConsoleRecords)
#include "tst_consolerecords.moc"
