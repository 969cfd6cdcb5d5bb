#pragma once

#include "support/FakeInspectorCatalog.h"
#include "support/UnixListener.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Plays usbmuxd for tests on a unix socket: the plist requests of libusbmuxd that the program makes
// (ListDevices, Connect, ReadPairRecord, ReadBUID); others are refused. A program under test finds
// it through USBMUXD_SOCKET_ADDRESS=UNIX:<path>.
//
// Each client connection runs on a thread of its own. A connection made to a device's port is
// handed to the device, which serves it on that thread until it ends; unplugging the device hangs
// up every connection to it, as pulling the cable does.
class FakeUsbmuxd {
public:
    // What stands behind a plugged device's ports.
    class Target {
    public:
        virtual ~Target() = default;
        virtual bool accepts(std::uint16_t port) = 0;
        // Serves one connection to `port` until it ends. The descriptor stays usbmuxd's.
        virtual void serve(std::uint16_t port, int fd) = 0;
    };

    enum class Link { usb, network };

    // An empty path picks a fresh one in a temporary folder.
    explicit FakeUsbmuxd(QString path = {});
    ~FakeUsbmuxd();

    bool start();
    void stop();
    const QString& path() const { return m_listener.path(); }
    // The value for USBMUXD_SOCKET_ADDRESS.
    QString address() const { return QStringLiteral("UNIX:") + m_listener.path(); }

    // Attaches a device (listeners hear of it) and returns its usbmuxd device id. A network entry
    // usually has no target: connections to it are refused.
    std::uint32_t plug(const QString& udid, Target* target, Link link = Link::usb);
    // Detaches every entry of the UDID and hangs up every connection to it.
    void unplug(const QString& udid);

    // An empty record removes it.
    void setPairRecord(const QString& udid, const QByteArray& record);
    static bool waitUntil(const std::function<bool()>& predicate,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return FakeInspectorCatalog::waitUntil(predicate, timeout);
    }

private:
    struct Entry {
        std::uint32_t id;
        QString udid;
        Link link;
        Target* target;
    };
    struct Client {
        UniqueFd fd;
        std::atomic<std::uint32_t> device = 0; // set once the connection belongs to a device
        std::thread thread;
    };

    void acceptLoop();
    void serveClient(std::shared_ptr<Client> client);
    bool reply(Client& client, std::uint32_t tag, const QVariantMap& message);
    QVariantMap attachedLocked(const Entry& entry) const;

    UnixListener m_listener;
    std::thread m_acceptThread;

    mutable std::mutex m_lock;
    bool m_stopping = false;
    std::vector<Entry> m_entries;
    std::vector<std::shared_ptr<Client>> m_clients;
    QHash<QString, QByteArray> m_pairRecords;
    const QString m_buid = QStringLiteral("00000000-0000-4000-8000-0000000000B1");
    std::uint32_t m_nextDeviceID = 1;
};
