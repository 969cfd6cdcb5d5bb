#pragma once

#include <cerrno>
#include <sys/socket.h>

// What every send on our sockets shares: a peer that went away gives EPIPE, never SIGPIPE.
#ifdef MSG_NOSIGNAL
inline constexpr int kSendFlags = MSG_NOSIGNAL;
#else
inline constexpr int kSendFlags = 0; // SO_NOSIGPIPE is set on the socket instead
#endif

// A non-blocking call that found nothing to do yet, or was interrupted: try again later.
inline bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}
