#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// Runs an external program and captures its standard output (standard error goes to /dev/null).
// A program that does not finish within the time limit is killed and counts as giving nothing.
// Safe to call from any thread; needs no event loop.
class ToolRunner {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeLimit{10'000};

    struct Output {
        QString text;
        int exitStatus = 0; // -1 when the program did not exit by itself
        bool operator==(const Output&) const = default;
    };

    // The output decoded as UTF-8 with the exit status, which the caller judges (some tools report
    // "found nothing" with a non-zero status); nothing when the program cannot be started, runs
    // past the limit, or prints something that is not UTF-8.
    static std::optional<Output> run(const QString& path, const QStringList& arguments,
                                     std::chrono::milliseconds timeLimit = kDefaultTimeLimit);
};
