#include "agent/HttpConnection.h"

#include "agent/HttpRequestParser.h"
#include "agent/HttpResponse.h"
#include "base/Logging.h"

#include <QTcpSocket>

#include <sys/socket.h>

namespace {
constexpr qint64 kReadChunk = 1024 * 1024;
}

HttpConnection::HttpConnection(QTcpSocket* socket, std::chrono::milliseconds requestTimeout, QObject* parent)
    : QObject(parent), m_socket(socket) {
    m_socket->setParent(this);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (m_state == State::Reading)
            qCWarning(lcAgent) << "dropped a connection that sent no whole request in time";
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->abort();
        finish();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::readAvailable);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::written);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::peerClosed);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            return; // the end of the stream; disconnected follows
        qCDebug(lcAgent) << "connection failed:" << m_socket->errorString();
        m_socket->abort();
        finish();
    });
    m_deadline.start(requestTimeout);
    // Bytes may already be waiting when the connection is handed over.
    QMetaObject::invokeMethod(this, &HttpConnection::readAvailable, Qt::QueuedConnection);
}

HttpConnection::~HttpConnection() = default;

void HttpConnection::readAvailable() {
    if (m_state != State::Reading) {
        // Whatever comes while lingering is ignored. Until then the byte held back stays.
        if (m_state == State::Lingering)
            m_socket->skip(m_socket->bytesAvailable());
        return;
    }
    while (m_socket->bytesAvailable() > 0)
        m_buffer += m_socket->read(kReadChunk);

    HttpRequestParser::Result result = HttpRequestParser::parse(m_buffer);
    switch (result.status) {
    case HttpRequestParser::Status::Incomplete:
        return;
    case HttpRequestParser::Status::TooLarge:
        qCWarning(lcAgent) << "refused a request beyond the size bounds";
        m_buffer.clear();
        m_state = State::Waiting;
        respond(413);
        return;
    case HttpRequestParser::Status::Complete:
        // A client may shut its sending side once the request is out. The socket would take the end
        // of the stream for the end of the connection and close both ways, so it must not read on
        // until the reply is out: one byte is put back and the read buffer held to that one byte.
        m_socket->ungetChar(m_buffer.back());
        m_socket->setReadBufferSize(1);
        m_buffer.clear();
        m_state = State::Waiting;
        m_deadline.stop();
        emit requestReceived(*result.request);
        return;
    }
}

void HttpConnection::respond(int status, QByteArrayView body) {
    if (m_state != State::Waiting)
        return;
    m_state = State::Answering;
    m_deadline.stop();
    m_socket->write(HttpResponse::frame(status, body));
    written();
}

void HttpConnection::written() {
    if (m_state != State::Answering || m_socket->bytesToWrite() > 0)
        return;
    m_state = State::Lingering;
    ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
    m_deadline.start(kLingerTime);
    m_socket->setReadBufferSize(0); // reads on, to the peer's end of the stream
    m_socket->skip(m_socket->bytesAvailable());
}

void HttpConnection::peerClosed() {
    // A peer that stops sending before its request is complete gets no answer; once lingering,
    // its close is what we waited for.
    finish();
}

void HttpConnection::finish() {
    if (m_state == State::Done)
        return;
    m_state = State::Done;
    m_deadline.stop();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    emit finished();
    deleteLater();
}
