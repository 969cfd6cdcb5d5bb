#pragma once

#include <QString>
#include <QVariantMap>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

// Hands frames from a socket's read thread to its connection's queue, several at a time: the
// reader appends, and only the first frame of a batch schedules a drain on the queue.
//
// It is also where the link slows down instead of growing without bound: the reader waits while
// too many frames wait for the queue, or too many entries wait for the owner's thread.
class FrameInbox {
public:
    struct Frame {
        QString selector;
        QVariantMap argument;
    };
    struct Batch {
        std::vector<Frame> frames;
        // Set once the socket's read loop has ended; comes after every frame.
        std::optional<QString> closeReason;
    };

    static constexpr std::size_t kMaxWaitingFrames = 4096;

    explicit FrameInbox(int maxEntriesInFlight) : m_maxInFlight(maxEntriesInFlight) {}

    // Set by the queue; called under the inbox lock whenever a drain is due.
    void setScheduler(std::function<void()> schedule) {
        std::lock_guard guard(m_lock);
        m_schedule = std::move(schedule);
    }

    // Read thread.
    void push(Frame frame) {
        std::unique_lock guard(m_lock);
        m_space.wait(guard, [&] {
            return m_shutdown || (m_batch.frames.size() < kMaxWaitingFrames && m_inFlight < m_maxInFlight);
        });
        if (m_shutdown)
            return;
        m_batch.frames.push_back(std::move(frame));
        scheduleLocked();
    }
    void pushClose(QString reason) {
        std::lock_guard guard(m_lock);
        m_batch.closeReason = std::move(reason);
        scheduleLocked();
    }

    // Queue: everything that arrived since the last take.
    Batch take() {
        std::lock_guard guard(m_lock);
        Batch batch = std::move(m_batch);
        m_batch = {};
        m_scheduled = false;
        m_space.notify_all();
        return batch;
    }

    // Entries handed to the owner's thread, and delivered there.
    void entriesPosted(int count) {
        std::lock_guard guard(m_lock);
        m_inFlight += count;
    }
    void entriesDelivered(int count) {
        std::lock_guard guard(m_lock);
        m_inFlight -= count;
        m_space.notify_all();
    }

    // The connection is going away: wake the reader for good and schedule nothing more.
    void shutdown() {
        std::lock_guard guard(m_lock);
        m_shutdown = true;
        m_schedule = nullptr;
        m_space.notify_all();
    }

private:
    void scheduleLocked() {
        if (!m_scheduled && m_schedule) {
            m_scheduled = true;
            m_schedule();
        }
    }

    const int m_maxInFlight;
    std::mutex m_lock;
    std::condition_variable m_space;
    Batch m_batch;
    std::function<void()> m_schedule;
    bool m_scheduled = false;
    bool m_shutdown = false;
    int m_inFlight = 0;
};
