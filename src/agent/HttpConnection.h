#pragma once

#include "agent/HttpRequest.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>

class QTcpSocket;

// One accepted connection carrying one request and one response.
//
// Gathers bytes until the parser yields a request, then emits requestReceived once and waits for
// respond(). A request that grows past the parser's bounds is answered 413 here. A connection that
// has not delivered a whole request within the request time-out, whose peer stops sending first, or
// whose socket fails, is dropped without an answer. A peer that stops sending after a whole request
// still gets its answer: nothing more is read until it is written. After the response the write side is shut
// and whatever the peer still sends is read and discarded briefly, so the answer is not lost to a reset.
// Emits finished once, when the connection is over; the object then deletes itself.
class HttpConnection : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kLingerTime{2000};

    HttpConnection(QTcpSocket* socket, std::chrono::milliseconds requestTimeout, QObject* parent = nullptr);
    ~HttpConnection() override;

    // Sends the one response and closes. Later calls, and calls after the peer left, do nothing.
    void respond(int status, QByteArrayView body = {});

    bool isOpen() const { return m_state != State::Done; }

signals:
    void requestReceived(const HttpRequest& request);
    void finished();

private:
    enum class State { Reading, Waiting, Answering, Lingering, Done };

    void readAvailable();
    void written();
    void peerClosed();
    void finish();

    QTcpSocket* m_socket;
    QByteArray m_buffer;
    QTimer m_deadline;
    State m_state = State::Reading;
};
