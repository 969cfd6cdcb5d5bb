// The value types the store keeps: levels, entries and their locations, ids. Scopes are tested with
// the entries they select, in tst_consolehub.
#include "base/Uuid.h"
#include "inspector/ConsoleEntry.h"
#include "inspector/ConsoleLevel.h"

#include <QSet>
#include <QTest>

#include <algorithm>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

class TestConsoleRecords : public QObject {
    Q_OBJECT

private slots:
    void levels() {
        for (ConsoleLevel level : allConsoleLevels) // every level by its name, case-sensitive
            QCOMPARE(consoleLevelFromMessage(rawValue(level).toStdString(), "console-api"), level);
        // level, source (nullopt: missing) and the level of the message.
        const struct {
            std::optional<std::string_view> level, source;
            ConsoleLevel expected;
        } rows[] = {{"log", "javascript", ConsoleLevel::error}, // an uncaught exception
                    {"warning", "javascript", ConsoleLevel::warning},
                    {{}, {}, ConsoleLevel::log},
                    {"Error", "console-api", ConsoleLevel::log},
                    {"log", "JavaScript", ConsoleLevel::log}};
        for (const auto& row : rows)
            QCOMPARE(consoleLevelFromMessage(row.level, row.source), row.expected);
    }

    void locations() {
        const struct {
            const char* url;
            qint64 line;
            std::optional<QString> expected;
        } rows[] = {{"https://example.com/js/app.js", 0, "app.js"},
                    {"", 12, std::nullopt},
                    {"not a url", 3, "not a url:3"},
                    {"https://example.com/a/b.js?v=2#top", 7, "b.js:7"},
                    {"https://example.com/docs/", 1, "docs:1"},
                    {"https://example.com/my%20file.js", 5, "my file.js:5"},
                    {"https://example.com/", 2, "https://example.com/:2"}};
        for (const auto& row : rows)
            QCOMPARE(ConsoleEntry({.page = {"D", "A", 1}, .url = row.url, .line = row.line}).location(),
                     row.expected);
    }

    // Random (version 4) ids, none repeated when made on several threads at once: every thread seeds
    // a generator of its own, and no two may produce the same sequence.
    void uuids() {
        std::vector<std::vector<QUuid>> made(4);
        {
            std::vector<std::jthread> workers; // joined at the end of the block
            for (auto& list : made)
                workers.emplace_back(
                    [&list] { std::generate_n(std::back_inserter(list), 500, Uuid::create); });
        }
        QSet<QUuid> all;
        for (const auto& list : made)
            all.unite(QSet<QUuid>(list.begin(), list.end()));
        QCOMPARE(all.size(), 2000);
        QCOMPARE(made[0][0].version(), QUuid::Random);
    }
};

QTEST_GUILESS_MAIN(TestConsoleRecords)
#include "tst_consolerecords.moc"
