#pragma once

#include "base/UniqueFd.h"
#include "wire/WIRTransport.h"

#include <QString>

#include <atomic>
#include <memory>

// The inspector stream of a booted simulator: a unix-domain stream socket.
class UnixTransport final : public WIRTransport {
public:
    // sockaddr_un holds 104 bytes of path on the platforms we target; longer paths cannot connect.
    static constexpr int kMaxPathBytes = 103;

    explicit UnixTransport(QString path);
    ~UnixTransport() override;

    std::optional<WIRError> open() override;
    bool send(const QByteArray& data) override;
    std::optional<QByteArray> receive(std::size_t count) override;
    bool receiveInto(char* destination, std::size_t count) override;
    void close() override;

    const QString& path() const { return m_path; }
    // The descriptor while open, -1 before open and after close.
    int handle() const { return m_closed.load() ? -1 : m_fd.get(); }

private:
    const QString m_path;
    // The descriptor stays allocated until destruction so that a reader that is still inside
    // read() can never touch a descriptor number that was reused elsewhere; close() shuts the
    // stream down, which wakes that reader.
    UniqueFd m_fd;
    std::atomic<bool> m_closed{true};

    // Read-ahead, touched only by the reading thread: bytes [m_start, m_end) are unread.
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_start = 0;
    std::size_t m_end = 0;
};
