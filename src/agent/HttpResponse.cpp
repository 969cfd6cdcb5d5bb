#include "agent/HttpResponse.h"

QByteArray HttpResponse::frame(int status, QByteArrayView body) {
    QByteArray out;
    out.reserve(128 + body.size());
    out += "HTTP/1.1 ";
    out += QByteArray::number(status);
    out += ' ';
    if (status == 200)
        out += "OK";
    out += "\r\nContent-Type: application/json\r\nContent-Length: ";
    out += QByteArray::number(body.size());
    out += "\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}
