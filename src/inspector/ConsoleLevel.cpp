#include "inspector/ConsoleLevel.h"

QString rawValue(ConsoleLevel level) {
    switch (level) {
    case ConsoleLevel::debug:
        return QStringLiteral("debug");
    case ConsoleLevel::log:
        return QStringLiteral("log");
    case ConsoleLevel::info:
        return QStringLiteral("info");
    case ConsoleLevel::warning:
        return QStringLiteral("warning");
    case ConsoleLevel::error:
        return QStringLiteral("error");
    }
    return QStringLiteral("log");
}

std::optional<ConsoleLevel> consoleLevelFromRawValue(std::string_view raw) {
    if (raw == "debug")
        return ConsoleLevel::debug;
    if (raw == "log")
        return ConsoleLevel::log;
    if (raw == "info")
        return ConsoleLevel::info;
    if (raw == "warning")
        return ConsoleLevel::warning;
    if (raw == "error")
        return ConsoleLevel::error;
    return std::nullopt;
}

std::optional<ConsoleLevel> consoleLevelFromRawValue(QStringView raw) {
    for (ConsoleLevel level : allConsoleLevels) {
        if (raw == rawValue(level))
            return level;
    }
    return std::nullopt;
}

ConsoleLevel consoleLevelFromMessage(std::optional<std::string_view> rawLevel,
                                     std::optional<std::string_view> source) {
    if (rawLevel) {
        const auto level = consoleLevelFromRawValue(*rawLevel);
        if (level && *level != ConsoleLevel::log)
            return *level;
    }
    return source == std::string_view("javascript") ? ConsoleLevel::error : ConsoleLevel::log;
}
