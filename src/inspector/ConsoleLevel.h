#pragma once

#include <QHash>
#include <QString>
#include <QStringView>

#include <array>
#include <optional>
#include <string_view>

// Severity of a console entry. Levels have no rank: nothing orders them, code asks `isProblem`.
enum class ConsoleLevel { debug, log, info, warning, error };

inline constexpr std::array<ConsoleLevel, 5> allConsoleLevels{
    ConsoleLevel::debug, ConsoleLevel::log, ConsoleLevel::info, ConsoleLevel::warning, ConsoleLevel::error};

// The level's text wherever levels travel as text: "debug", "log", "info", "warning", "error".
QString rawValue(ConsoleLevel level);

// Warnings and errors are the "problems" that the unseen counts and the problems filter count.
constexpr bool isProblem(ConsoleLevel level) {
    return level == ConsoleLevel::warning || level == ConsoleLevel::error;
}

// Exactly one of the five raw values (case-sensitive) gives its level; anything else gives none.
std::optional<ConsoleLevel> consoleLevelFromRawValue(QStringView raw);
std::optional<ConsoleLevel> consoleLevelFromRawValue(std::string_view raw);

// The level of a message as the page reports it. "debug", "info", "warning" and "error" are taken as
// they are; any other level, "log" included, leaves it to the source: uncaught exceptions (source
// "javascript") are errors, everything else is a log.
ConsoleLevel consoleLevelFromMessage(std::optional<std::string_view> rawLevel,
                                     std::optional<std::string_view> source);

inline size_t qHash(ConsoleLevel level, size_t seed = 0) noexcept {
    return ::qHash(int(level), seed);
}
