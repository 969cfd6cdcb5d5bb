#pragma once

#include <QByteArray>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// One JSON POST to the agent endpoint on 127.0.0.1:<port> over a fresh blocking connection, for the
// benchmarks: the whole raw response (status line, headers, body), empty when none came within 10 s.
inline QByteArray postToEndpoint(quint16 port, const QByteArray& body) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const QByteArray request = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                   "Content-Type: application/json\r\nAccept: application/json\r\n"
                                   "Content-Length: " +
                                   QByteArray::number(body.size()) + "\r\n\r\n" + body;
        (void)!::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
        char buffer[65536];
        for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            response.append(buffer, got);
    }
    ::close(fd);
    return response;
}
