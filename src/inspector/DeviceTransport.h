#pragma once

#include "inspector/WIRTransport.h"

#include <QString>

#include <mutex>

struct idevice_private;
struct idevice_connection_private;

// The inspector stream of a USB-attached device: its com.apple.webinspector lockdown service,
// reached through usbmuxd.
//
// The service connection is opened directly (idevice_connect, plus TLS when the service asks for
// it) so that close() can shut its descriptor down: that wakes a receive() blocked on the read
// thread, and the connection is freed only once no receive() is using it.
class DeviceTransport final : public WIRTransport {
public:
    static constexpr const char* kClientLabel = "Tavolin";
    static constexpr const char* kServiceName = "com.apple.webinspector";
    static constexpr unsigned kReceiveSliceMs = 60'000;

    explicit DeviceTransport(QString udid);
    ~DeviceTransport() override;

    std::optional<WIRError> open() override;
    bool send(const QByteArray& data) override;
    std::optional<QByteArray> receive(std::size_t count) override;
    void close() override;

    const QString& udid() const { return m_udid; }

private:
    void releaseLocked();

    const QString m_udid;
    std::mutex m_lock; // guards the fields below
    idevice_private* m_device = nullptr;
    idevice_connection_private* m_connection = nullptr;
    int m_fd = -1;
    bool m_closed = false;
    int m_receivers = 0;
};
