#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <optional>

// Reassembly of messages that the service sends in pieces, per sender. At the bound the oldest
// unfinished messages are dropped first, whole: the rest of a dropped message is refused.
class PartialMessages {
public:
    // The pieces of all senders together may not exceed this.
    static constexpr qsizetype kMaxPartialBytes = 64 * 1024 * 1024;

    struct Result {
        // The argument was a piece (and is not to be read as a message of its own).
        bool piece = false;
        // The whole message, with its data under the message data key, once the final piece came.
        std::optional<QVariantMap> complete;
    };

    explicit PartialMessages(qsizetype maxBytes = kMaxPartialBytes) : m_maxBytes(maxBytes) {}

    Result take(const QVariantMap& argument);
    // Frees the pieces of a sender whose session ended.
    void forget(const QString& sender);
    void clear();

private:
    struct Partial {
        QByteArray bytes;
        quint64 started = 0; // orders the messages by their first piece
    };

    void drop(const QString& sender);

    QHash<QString, Partial> m_partials;
    QSet<QString> m_dropped; // senders whose message was dropped, until its final piece
    quint64 m_nextStart = 0;
    qsizetype m_bytes = 0;
    const qsizetype m_maxBytes;
};
