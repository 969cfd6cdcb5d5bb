#pragma once

#include <QByteArray>
#include <QList>

// One request as read from a connection. Only the pieces the endpoint acts on are kept.
struct HttpRequest {
    QByteArray method; // first word of the request line, case kept
    QByteArray path;   // second word; recorded, never consulted
    QByteArray body;   // exactly the announced content length
    // Every Origin, Host and Content-Type header value, trimmed, in arrival order.
    QList<QByteArray> origins;
    QList<QByteArray> hosts;
    QList<QByteArray> contentTypes;
};
