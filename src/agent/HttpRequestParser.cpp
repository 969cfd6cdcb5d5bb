#include "agent/HttpRequestParser.h"

#include <QString>

#include <limits>

namespace {

constexpr QByteArrayView kTerminator("\r\n\r\n");

QByteArrayView trimBlanks(QByteArrayView text) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

bool startsWithLower(QByteArrayView line, QByteArrayView prefix) {
    if (line.size() < prefix.size())
        return false;
    for (qsizetype i = 0; i < prefix.size(); ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// The pieces of text between separators, empty ones dropped.
QList<QByteArrayView> pieces(QByteArrayView text, char separator) {
    QList<QByteArrayView> out;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == separator) {
            if (i > start)
                out.append(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

} // namespace

qint64 HttpRequestParser::contentLength(QByteArrayView value) {
    value = trimBlanks(value);
    bool negative = false;
    if (!value.isEmpty() && (value.front() == '+' || value.front() == '-')) {
        negative = value.front() == '-';
        value = value.sliced(1);
    }
    if (value.isEmpty())
        return 0;
    qint64 result = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return 0;
        const int digit = c - '0';
        if (result > (std::numeric_limits<qint64>::max() - digit) / 10)
            return 0;
        result = result * 10 + digit;
    }
    return negative ? 0 : result;
}

HttpRequestParser::Result HttpRequestParser::parse(QByteArrayView buffer) {
    const qsizetype end = buffer.indexOf(kTerminator);
    if (end < 0) {
        // Without a terminator among the first bytes allowed, none can come within the bound.
        if (buffer.size() >= kMaxHeaderBytes + kTerminator.size())
            return {Status::TooLarge, std::nullopt};
        return {};
    }
    if (end > kMaxHeaderBytes)
        return {Status::TooLarge, std::nullopt};

    // Invalid UTF-8 is replaced, as a decoder would; header names and numbers are ASCII anyway.
    const QByteArray head = QString::fromUtf8(buffer.first(end)).toUtf8();
    QList<QByteArrayView> lines;
    {
        qsizetype start = 0;
        while (true) {
            const qsizetype crlf = QByteArrayView(head).indexOf("\r\n", start);
            if (crlf < 0) {
                lines.append(QByteArrayView(head).sliced(start));
                break;
            }
            lines.append(QByteArrayView(head).sliced(start, crlf - start));
            start = crlf + 2;
        }
    }

    const QList<QByteArrayView> words = pieces(lines.front(), ' ');
    if (words.size() < 2)
        return {};

    HttpRequest request;
    request.method = words[0].toByteArray();
    request.path = words[1].toByteArray();

    qint64 length = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        if (startsWithLower(line, "content-length:")) {
            const QList<QByteArrayView> parts = pieces(line, ':');
            length = parts.size() >= 2 ? contentLength(parts[1]) : 0;
        } else if (startsWithLower(line, "origin:")) {
            request.origins.append(trimBlanks(line.sliced(7)).toByteArray());
        } else if (startsWithLower(line, "host:")) {
            request.hosts.append(trimBlanks(line.sliced(5)).toByteArray());
        } else if (startsWithLower(line, "content-type:")) {
            request.contentTypes.append(trimBlanks(line.sliced(13)).toByteArray());
        }
    }
    if (length > kMaxBodyBytes)
        return {Status::TooLarge, std::nullopt};

    const QByteArrayView body = buffer.sliced(end + kTerminator.size());
    if (length > body.size())
        return {};
    request.body = body.first(length).toByteArray();
    return {Status::Complete, std::move(request)};
}
