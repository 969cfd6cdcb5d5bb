#pragma once

#include "wire/DeviceHandles.h"

#include <QByteArray>

// The client side of a device service's TLS, as libimobiledevice sets it up: the host identity of
// the pair record, and a socket BIO that never raises SIGPIPE.
namespace DeviceTls {

// A context that presents the host's pair-record identity for the device; null when the record
// cannot be read. Devices before iOS 10 (`legacyDevice`) speak nothing newer than TLS 1.0.
SslContextPtr clientContext(const QByteArray& udid, bool legacyDevice);

// A stream on the non-blocking descriptor `fd` (which stays the caller's), in connect state.
SslPtr clientStream(SSL_CTX* context, int fd);

} // namespace DeviceTls
