#pragma once

#include "agent/HttpRequest.h"

#include <QByteArrayView>

#include <optional>

// Turns the bytes a connection has gathered so far into a request.
//
// The header block must end in CR LF CR LF; the request line needs a method and a path; the body is
// as long as the last "Content-Length:" header says (0 without one, or when the value is negative or
// does not parse). Until all of that has arrived the buffer is incomplete. A header block or an
// announced body beyond the bounds below makes the request too large, so the connection can refuse
// it instead of buffering without end.
class HttpRequestParser {
public:
    static constexpr qsizetype kMaxHeaderBytes = 64 * 1024;
    static constexpr qint64 kMaxBodyBytes = 16 * 1024 * 1024;

    enum class Status { Incomplete, Complete, TooLarge };

    struct Result {
        Status status = Status::Incomplete;
        std::optional<HttpRequest> request; // present exactly when Complete
    };

    static Result parse(QByteArrayView buffer);

    // The value of a Content-Length header line's text after the header name: blanks and tabs
    // trimmed, an optional sign, decimal digits. Anything else, overflow or a negative value is 0.
    static qint64 contentLength(QByteArrayView value);
};
