#include "wire/WIRSocket.h"

#include "base/Logging.h"
#include "wire/PropertyList.h"
#include "wire/SentDataReader.h"

#include <pthread.h>

#include <QtEndian>

#include <cstring>

namespace {
const QString kSelectorKey = QStringLiteral("__selector");
const QString kArgumentKey = QStringLiteral("__argument");
// A body buffer grown past this by one large frame is given back after it.
constexpr qsizetype kKeptBodyBytes = 1 << 20;
} // namespace

std::shared_ptr<WIRSocket> WIRSocket::create(std::shared_ptr<WIRTransport> transport, FrameHandler onFrame,
                                             CloseHandler onClose) {
    return std::shared_ptr<WIRSocket>(
        new WIRSocket(std::move(transport), std::move(onFrame), std::move(onClose)));
}

WIRSocket::WIRSocket(std::shared_ptr<WIRTransport> transport, FrameHandler onFrame, CloseHandler onClose)
    : m_transport(std::move(transport)), m_onFrame(std::move(onFrame)), m_onClose(std::move(onClose)) {}

std::optional<WIRError> WIRSocket::open() {
    if (auto error = m_transport->open())
        return error;
    m_live.store(true, std::memory_order_release);

    // The thread holds the socket weakly until it starts, then strongly for its loop.
    auto weak = std::make_unique<std::weak_ptr<WIRSocket>>(weak_from_this());
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kReadThreadStackSize);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int started = pthread_create(&thread, &attributes, &WIRSocket::readThreadMain, weak.get());
    pthread_attr_destroy(&attributes);
    if (started == 0) {
        (void)weak.release(); // the thread owns it now
    } else {
        // Without a reader the stream cannot work; report it the way a broken stream is reported.
        qCWarning(lcWire) << "no read thread:" << strerror(started);
        m_live.store(false, std::memory_order_release);
        m_transport->close();
        if (m_onClose)
            m_onClose(QStringLiteral("connection lost"));
    }
    return std::nullopt;
}

void* WIRSocket::readThreadMain(void* context) {
    pthread_setname_np(pthread_self(), "wir-read");
    std::unique_ptr<std::weak_ptr<WIRSocket>> weak(static_cast<std::weak_ptr<WIRSocket>*>(context));
    if (std::shared_ptr<WIRSocket> self = weak->lock())
        self->readLoop();
    return nullptr;
}

void WIRSocket::readLoop() {
    // One body buffer for the life of the loop: frames are decoded from it in place.
    QByteArray body;
    while (m_live.load(std::memory_order_acquire)) {
        char header[4];
        if (!m_transport->receiveInto(header, sizeof header))
            break;
        const quint32 length = qFromBigEndian<quint32>(header);
        if (length == 0 || length >= kMaxFrameLength) {
            qCWarning(lcWire) << "frame length" << length << "breaks the stream";
            break;
        }
        if (body.size() < qsizetype(length))
            body.resize(qsizetype(length));
        if (!m_transport->receiveInto(body.data(), length))
            break;
        deliver(body.constData(), length);
        // Give back the memory of an unusually large frame.
        if (body.size() > kKeptBodyBytes)
            body = QByteArray();
    }
    const bool wasLive = m_live.exchange(false, std::memory_order_acq_rel);
    if (m_onClose)
        m_onClose(wasLive ? QStringLiteral("connection lost") : QStringLiteral("closed"));
}

void WIRSocket::deliver(const char* body, std::size_t size) {
    // Console traffic is read without libplist; everything else, and anything odd, with it.
    std::optional<PropertyList::Message> message = SentDataReader::decode(body, size);
    if (!message)
        message = PropertyList::decodeMessage(body, size);
    if (!message)
        return;
    qCDebug(lcWire) << "received" << message->selector << size << "bytes";
    if (m_onFrame)
        m_onFrame(std::move(message->selector), std::move(message->argument));
}

std::optional<QByteArray> WIRSocket::encodeFrame(const QString& selector, const QVariantMap& argument) {
    QVariantMap message;
    message.insert(kSelectorKey, selector);
    message.insert(kArgumentKey, argument);
    std::optional<QByteArray> body = PropertyList::encodeBinary(message);
    if (!body || quint64(body->size()) > 0xFFFFFFFFull)
        return std::nullopt;
    QByteArray frame;
    frame.resize(4 + body->size());
    qToBigEndian<quint32>(quint32(body->size()), frame.data());
    std::memcpy(frame.data() + 4, body->constData(), size_t(body->size()));
    return frame;
}

void WIRSocket::send(const QString& selector, const QVariantMap& argument) {
    if (!m_live.load(std::memory_order_acquire))
        return;
    const std::optional<QByteArray> frame = encodeFrame(selector, argument);
    if (!frame) {
        qCWarning(lcWire) << "cannot encode the argument of" << selector;
        return;
    }
    qCDebug(lcWire) << "sending" << selector << frame->size() << "bytes";
    std::lock_guard lock(m_sendLock);
    // A failed write shows up as a broken stream in the read loop.
    (void)m_transport->send(*frame);
}

void WIRSocket::close() {
    if (m_live.exchange(false, std::memory_order_acq_rel))
        m_transport->close();
}
