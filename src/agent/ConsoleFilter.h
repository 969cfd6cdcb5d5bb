#pragma once

#include "inspector/ConsoleEntry.h"

#include <QRegularExpression>
#include <QString>

#include <optional>

// Which console entries an agent asked for: one level, and text that contains a search, ignoring
// case, or matches it as a regular expression when it is written /like this/.
class ConsoleFilter {
public:
    ConsoleFilter(std::optional<QString> level, std::optional<QString> search);

    // Why the search cannot be used (an invalid expression); nothing when it can.
    const std::optional<QString>& error() const { return m_error; }
    bool matches(const ConsoleEntry& entry) const;

private:
    std::optional<QString> m_level;
    std::optional<QString> m_text;
    std::optional<QRegularExpression> m_expression;
    std::optional<QString> m_error;
};
