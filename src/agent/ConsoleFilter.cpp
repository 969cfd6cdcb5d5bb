#include "agent/ConsoleFilter.h"

ConsoleFilter::ConsoleFilter(std::optional<QString> level, std::optional<QString> search)
    : m_level(std::move(level)) {
    if (!search || search->isEmpty())
        return;
    if (search->size() < 2 || !search->startsWith(QLatin1Char('/')) || !search->endsWith(QLatin1Char('/'))) {
        m_text = std::move(search);
        return;
    }
    QRegularExpression expression(search->mid(1, search->size() - 2),
                                  QRegularExpression::CaseInsensitiveOption);
    if (!expression.isValid()) {
        m_error = QStringLiteral("Invalid regular expression %1: %2 at offset %3")
                      .arg(*search, expression.errorString())
                      .arg(expression.patternErrorOffset());
        return;
    }
    m_expression = std::move(expression);
}

bool ConsoleFilter::matches(const ConsoleEntry& entry) const {
    if (m_level && rawValue(entry.level) != *m_level)
        return false;
    if (m_text)
        return entry.text.contains(*m_text, Qt::CaseInsensitive);
    if (m_expression)
        return m_expression->match(entry.text).hasMatch();
    return true;
}
