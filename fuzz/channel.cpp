// The framed channel: the input is the byte stream a service sends, read by a socket's read loop
// until the stream ends or breaks.
#include "wire/WIRSocket.h"

#include <QLoggingCategory>

#include <cstring>
#include <future>

namespace {

// Serves the input, then ends the stream.
class BytesTransport : public WIRTransport {
public:
    BytesTransport(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    std::optional<WIRError> open() override { return std::nullopt; }
    bool send(const QByteArray&) override { return true; }
    std::optional<QByteArray> receive(std::size_t count) override {
        QByteArray bytes(qsizetype(count), Qt::Uninitialized);
        if (!receiveInto(bytes.data(), count))
            return std::nullopt;
        return bytes;
    }
    bool receiveInto(char* destination, std::size_t count) override {
        if (count > m_size - m_at)
            return false;
        std::memcpy(destination, m_data + m_at, count);
        m_at += count;
        return true;
    }
    void close() override {}

private:
    const uint8_t* const m_data;
    const size_t m_size;
    size_t m_at = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::promise<void> closed;
    const auto socket = WIRSocket::create(
        std::make_shared<BytesTransport>(data, size), [](QString, QVariantMap) {},
        [&closed](QString) { closed.set_value(); });
    if (!socket->open())
        closed.get_future().wait();
    return 0;
}
