#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// A raw client on a real TCP connection to the endpoint, driven by the test's event loop.
class LoopbackClient {
public:
    explicit LoopbackClient(quint16 port) : m_socket(std::make_unique<QTcpSocket>()) {
        QObject::connect(m_socket.get(), &QTcpSocket::readyRead,
                         [this] { m_received += m_socket->readAll(); });
        QObject::connect(m_socket.get(), &QTcpSocket::disconnected, [this] { m_closed = true; });
        m_socket->connectToHost(QHostAddress::LocalHost, port);
    }

    bool waitConnected(int ms = 2000) {
        return QTest::qWaitFor([this] { return m_socket->state() == QAbstractSocket::ConnectedState; }, ms);
    }
    void send(QByteArrayView bytes) {
        m_socket->write(bytes.data(), bytes.size());
        m_socket->flush();
    }
    void finishSending() { m_socket->disconnectFromHost(); }
    bool waitClosed(int ms = 3000) {
        return QTest::qWaitFor([this] { return m_closed; }, ms);
    }
    // Waits for the server to close and returns everything it sent.
    QByteArray response(int ms = 3000) {
        waitClosed(ms);
        return m_received;
    }
    const QByteArray& received() const { return m_received; }
    bool isClosed() const { return m_closed; }

private:
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_received;
    bool m_closed = false;
};

// A port nobody listens on right now.
inline quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Points the user preferences at a fresh directory for the test's lifetime.
inline std::unique_ptr<QTemporaryDir> isolatePreferences() {
    auto dir = std::make_unique<QTemporaryDir>();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir->path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir->path());
    return dir;
}

inline QByteArray post(QByteArrayView body, QByteArrayView extraHeaders = {}) {
    return "POST /mcp HTTP/1.1\r\nContent-Type: application/json\r\n" + extraHeaders.toByteArray() +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body.toByteArray();
}

inline QByteArray statusLine(const QByteArray& response) {
    return response.left(response.indexOf("\r\n"));
}

inline QByteArray bodyOf(const QByteArray& response) {
    const qsizetype end = response.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : response.mid(end + 4);
}
