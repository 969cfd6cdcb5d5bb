#include "inspector/DeviceTransport.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <sys/socket.h>

DeviceTransport::DeviceTransport(QString udid) : m_udid(std::move(udid)) {}

DeviceTransport::~DeviceTransport() {
    std::lock_guard lock(m_lock);
    m_closed = true;
    releaseLocked();
}

std::optional<WIRError> DeviceTransport::open() {
    {
        // Opening an open transport changes nothing: the hub opens transports ahead.
        std::lock_guard lock(m_lock);
        if (m_connection)
            return std::nullopt;
        if (m_closed)
            return WIRError::deviceUnavailable();
    }
    const QByteArray udid = m_udid.toUtf8();
    idevice_t device = nullptr;
    if (idevice_new_with_options(&device, udid.constData(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS || !device)
        return WIRError::deviceUnavailable();

    lockdownd_client_t lockdown = nullptr;
    if (lockdownd_client_new_with_handshake(device, &lockdown, kClientLabel) != LOCKDOWN_E_SUCCESS || !lockdown) {
        if (lockdown)
            lockdownd_client_free(lockdown);
        idevice_free(device);
        return WIRError::pairingRequired();
    }

    lockdownd_service_descriptor_t service = nullptr;
    if (lockdownd_start_service(lockdown, kServiceName, &service) != LOCKDOWN_E_SUCCESS || !service) {
        if (service)
            lockdownd_service_descriptor_free(service);
        lockdownd_client_free(lockdown);
        idevice_free(device);
        return WIRError::inspectorDisabled();
    }

    // What service_client_new does, done by hand so that the descriptor is ours to shut down.
    idevice_connection_t connection = nullptr;
    bool ok = idevice_connect(device, service->port, &connection) == IDEVICE_E_SUCCESS && connection;
    if (ok && service->ssl_enabled)
        ok = idevice_connection_enable_ssl(connection) == IDEVICE_E_SUCCESS;
    int fd = -1;
    if (ok)
        ok = idevice_connection_get_fd(connection, &fd) == IDEVICE_E_SUCCESS && fd >= 0;
    lockdownd_service_descriptor_free(service);
    lockdownd_client_free(lockdown);
    if (!ok) {
        if (connection)
            idevice_disconnect(connection);
        idevice_free(device);
        return WIRError::deviceUnavailable();
    }

    std::lock_guard lock(m_lock);
    m_device = device;
    m_connection = connection;
    m_fd = fd;
    return std::nullopt;
}

bool DeviceTransport::send(const QByteArray& data) {
    std::lock_guard lock(m_lock);
    if (m_closed || !m_connection)
        return false;
    const char* next = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        uint32_t sent = 0;
        const uint32_t chunk = uint32_t(std::min<qsizetype>(left, 1 << 30));
        if (idevice_connection_send(m_connection, next, chunk, &sent) != IDEVICE_E_SUCCESS || sent == 0)
            return false;
        next += sent;
        left -= sent;
    }
    return true;
}

std::optional<QByteArray> DeviceTransport::receive(std::size_t count) {
    idevice_connection_t connection;
    {
        std::lock_guard lock(m_lock);
        if (m_closed || !m_connection)
            return std::nullopt;
        connection = m_connection;
        ++m_receivers;
    }
    std::optional<QByteArray> result;
    if (count == 0) {
        result = QByteArray();
    } else {
        QByteArray buffer;
        buffer.resize(qsizetype(count));
        std::size_t filled = 0;
        bool failed = false;
        while (filled < count) {
            uint32_t got = 0;
            const uint32_t want = uint32_t(std::min<std::size_t>(count - filled, 1u << 30));
            const idevice_error_t error =
                idevice_connection_receive_timeout(connection, buffer.data() + filled, want, &got, kReceiveSliceMs);
            if (error == IDEVICE_E_TIMEOUT && got == 0) {
                // An idle link is not an error; but a closed transport ends the wait.
                std::lock_guard lock(m_lock);
                if (m_closed) {
                    failed = true;
                    break;
                }
                continue;
            }
            if ((error != IDEVICE_E_SUCCESS && error != IDEVICE_E_TIMEOUT) || got == 0) {
                failed = true;
                break;
            }
            filled += got;
        }
        if (!failed)
            result = std::move(buffer);
    }
    std::lock_guard lock(m_lock);
    --m_receivers;
    if (m_closed) {
        releaseLocked();
        return std::nullopt;
    }
    return result;
}

void DeviceTransport::close() {
    std::lock_guard lock(m_lock);
    if (m_closed)
        return;
    m_closed = true;
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
    releaseLocked();
}

// Frees the connection and the device once no receive() is inside libimobiledevice.
void DeviceTransport::releaseLocked() {
    if (m_receivers > 0)
        return;
    if (m_connection) {
        idevice_disconnect(m_connection);
        m_connection = nullptr;
        m_fd = -1;
    }
    if (m_device) {
        idevice_free(m_device);
        m_device = nullptr;
    }
}
