#pragma once

#include <string>
#include <string_view>

// Appends items to a UTF-8 text, separated by `separator`: next() gives the text to write the next
// item into, with the separator already in place when it is not the first.
class TextJoiner {
public:
    TextJoiner(std::string& out, std::string_view separator) : m_out(out), m_separator(separator) {}
    std::string& next() {
        if (!m_first)
            m_out += m_separator;
        m_first = false;
        return m_out;
    }

private:
    std::string& m_out;
    std::string_view m_separator;
    bool m_first = true;
};
