#pragma once

#include "wire/WIRError.h"
#include "wire/WIRTransport.h"

#include <QString>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// The framed property-list channel: each message is a 4-byte big-endian length followed by a
// property list {"__selector": string, "__argument": dictionary}. One read thread ("wir-read")
// decodes incoming frames and hands them to onFrame; writers are serialised by a lock.
//
// Always owned through std::shared_ptr (use create()); the read thread keeps the socket alive
// until its loop has ended.
class WIRSocket : public std::enable_shared_from_this<WIRSocket> {
public:
    using FrameHandler = std::function<void(QString selector, QVariantMap argument)>;
    using CloseHandler = std::function<void(QString reason)>;

    // Frames whose length field is 0 or at least this many bytes break the stream.
    static constexpr quint32 kMaxFrameLength = 1u << 26;
    static constexpr std::size_t kReadThreadStackSize = 512 * 1024;

    static std::shared_ptr<WIRSocket> create(std::shared_ptr<WIRTransport> transport, FrameHandler onFrame,
                                             CloseHandler onClose);

    WIRSocket(const WIRSocket&) = delete;
    WIRSocket& operator=(const WIRSocket&) = delete;
    // Does not close the transport.
    ~WIRSocket() = default;

    // Opens the transport and starts the read thread. onClose is called exactly once for every
    // successful open: "connection lost" when the stream broke, "closed" after close().
    std::optional<WIRError> open();
    // Fire and forget: nothing is written unless the socket is live.
    void send(const QString& selector, const QVariantMap& argument);
    // Ends the stream; the read thread then reports "closed".
    void close();

    bool isLive() const { return m_live.load(std::memory_order_acquire); }

    // The frame bytes for one message, or nothing when the argument cannot be serialised.
    static std::optional<QByteArray> encodeFrame(const QString& selector, const QVariantMap& argument);

private:
    WIRSocket(std::shared_ptr<WIRTransport> transport, FrameHandler onFrame, CloseHandler onClose);

    static void* readThreadMain(void* context);
    void readLoop();
    void deliver(const char* body, std::size_t size);

    const std::shared_ptr<WIRTransport> m_transport;
    std::mutex m_sendLock;
    std::atomic<bool> m_live{false};
    const FrameHandler m_onFrame;
    const CloseHandler m_onClose;
};
