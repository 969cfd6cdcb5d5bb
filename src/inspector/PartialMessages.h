#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariantMap>

#include <optional>

// Reassembly of messages that the service sends in pieces, per sender.
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

    Result take(const QVariantMap& argument);
    void clear();

private:
    QHash<QString, QByteArray> m_partials;
    qsizetype m_bytes = 0;
};
