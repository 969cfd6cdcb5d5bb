#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The bytes of a response: a status line with a reason phrase only for 200, the JSON content type,
// the body's length and "Connection: close", then the body. Every connection carries one response.
class HttpResponse {
public:
    static QByteArray frame(int status, QByteArrayView body = {});
};
