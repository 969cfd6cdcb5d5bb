#pragma once

#include "support/UnixListener.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Plays the device side of the Web Inspector service in tests: a unix-socket server on its own
// thread that reads real frames, records them, and writes frames back. A handler can answer each
// incoming frame (run on the service thread), which is how richer fakes script a simulator.
class FakeInspectorService {
public:
    struct Frame {
        QString selector;
        QVariantMap argument;
    };
    // Called on the service thread for every well-formed frame a client sends, and without a frame
    // when a client's stream has ended (not when the service stops).
    using Handler = std::function<void(int client, const Frame* frame)>;

    // An empty path picks a fresh one in a temporary folder.
    explicit FakeInspectorService(QString path = {});
    ~FakeInspectorService();

    bool start();
    void stop();
    const QString& path() const { return m_listener.path(); }

    void setHandler(Handler handler);
    // Serves a stream that came some other way (a started service takes it over); its client id.
    int adopt(UniqueFd stream);

    // Waits until at least `count` clients have connected since start.
    bool waitForClients(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The most recently connected client that is still connected, or -1.
    int currentClient() const;
    int clientCount() const;

    // Writes to a client (the current one by default). Safe from any thread.
    bool send(const QString& selector, const QVariantMap& argument, int client = -1);
    bool sendRaw(const QByteArray& bytes, int client = -1);
    // Hangs up on a client.
    void disconnect(int client = -1);

    std::vector<Frame> received() const;
    std::vector<Frame> received(const QString& selector) const;

    static QByteArray frameBytes(const QByteArray& body);
    static QByteArray encode(const QString& selector, const QVariantMap& argument);

private:
    // A client's stream, written under its own lock: a writer blocked on one slow client holds
    // up no other. A writer keeps the descriptor open until it is done.
    struct Stream {
        explicit Stream(UniqueFd fd) : fd(std::move(fd)) {}
        UniqueFd fd;
        std::mutex writing;
    };
    struct Client {
        std::shared_ptr<Stream> stream;
        QByteArray buffer;
    };

    void run();
    void readFrom(int id, int fd);
    std::shared_ptr<Stream> resolveLocked(int client) const;

    UnixListener m_listener;
    std::thread m_thread;

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<int, Client> m_clients; // by id, in the order they connected
    int m_nextClientId = 1;
    int m_connectedTotal = 0;
    std::vector<Frame> m_received;
    Handler m_handler;
    std::atomic<bool> m_stopping = false;
};
