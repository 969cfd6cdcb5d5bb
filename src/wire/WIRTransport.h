#pragma once

#include "wire/WIRError.h"

#include <QByteArray>

#include <cstddef>
#include <cstring>
#include <optional>

// A byte stream to one Web Inspector service. receive() runs on the socket's read thread while
// send() and close() run elsewhere; implementations must allow exactly that.
class WIRTransport {
public:
    virtual ~WIRTransport() = default;

    // Establishes the stream. Opening an open transport succeeds and changes nothing; a closed
    // transport cannot be opened again.
    virtual std::optional<WIRError> open() = 0;
    // Writes every byte; true only when all of them were written. Never raises SIGPIPE.
    virtual bool send(const QByteArray& data) = 0;
    // Blocks until exactly `count` bytes have arrived. Nothing on end of stream, on error, or
    // once the transport is closed. A count of 0 gives an empty buffer.
    virtual std::optional<QByteArray> receive(std::size_t count) = 0;
    // Same as receive(), into memory the caller owns; false where receive() gives nothing. The
    // read loop uses this to keep one buffer for all frames.
    virtual bool receiveInto(char* destination, std::size_t count);
    // Releases the stream and wakes a blocked receive(). Idempotent.
    virtual void close() = 0;
};

inline bool WIRTransport::receiveInto(char* destination, std::size_t count) {
    std::optional<QByteArray> bytes = receive(count);
    if (!bytes || std::size_t(bytes->size()) != count)
        return false;
    if (count > 0)
        std::memcpy(destination, bytes->constData(), count);
    return true;
}
