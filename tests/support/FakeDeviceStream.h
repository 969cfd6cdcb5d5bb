#pragma once

#include "wire/DeviceHandles.h"

#include <QByteArray>
#include <QList>

#include <chrono>
#include <cstddef>
#include <optional>

// The device's end of one usbmuxd connection: plain bytes at first, TLS once the device switches
// it on (lockdown's session, a service that asks for it) and plain again when a session stops.
// The descriptor is made non-blocking; the blocking calls wait with poll. One thread uses a stream
// at a time; another thread may only shut its descriptor down to end it.
class FakeDeviceStream {
public:
    explicit FakeDeviceStream(int fd); // the descriptor stays the caller's
    FakeDeviceStream(const FakeDeviceStream&) = delete;
    FakeDeviceStream& operator=(const FakeDeviceStream&) = delete;

    // Server side of a handshake with the device's certificate. The host must present a client
    // certificate that chains to one of `trustedRoots` (PEM); otherwise the handshake fails.
    bool startTls(const QByteArray& certificate, const QByteArray& key, const QList<QByteArray>& trustedRoots,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the host's close_notify and goes back to plain bytes.
    bool endTls(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool isTls() const { return bool(m_ssl); }

    // Exactly `count` bytes, or nothing at the end of the stream, on error or time-out.
    std::optional<QByteArray> read(std::size_t count,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool write(const QByteArray& bytes, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Without waiting: the bytes moved (> 0), 0 when the stream is not ready, -1 at its end or on
    // error.
    qsizetype readSome(char* into, std::size_t room);
    qsizetype writeSome(const char* from, std::size_t size);
    // Decrypted bytes waiting inside TLS, which poll cannot see.
    bool hasBuffered() const;
    // What poll should wait for before the last call that was not ready can go on.
    short waitEvents() const { return m_waitEvents; }

    int fd() const { return m_fd; }

private:
    bool waitFor(short events, std::chrono::steady_clock::time_point deadline);
    qsizetype outcome(long result);
    template <typename Step> bool transfer(std::size_t total, std::chrono::milliseconds timeout, Step step);
    void dropTls();

    int m_fd;
    SslContextPtr m_context;
    SslPtr m_ssl;
    short m_waitEvents = 0;
};
