#pragma once

#include "base/Uuid.h"
#include "inspector/ConsoleLevel.h"
#include "inspector/EntryKind.h"
#include "inspector/PageKey.h"
#include "inspector/RemoteObjectRef.h"
#include "inspector/StackFrame.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>

#include <optional>

// One line of a page's console, one expression typed into the page, or the answer to it.
//
// Entries are identified by `id` alone: two entries with the same text are still different entries,
// so the type deliberately has no value equality and no hash. Build one with designated initialisers;
// every entry built gets a fresh id, copies keep it.
struct ConsoleEntry {
    QUuid id = Uuid::create();
    PageKey page{};
    ConsoleLevel level = ConsoleLevel::log;
    QString
        source{};   // "javascript", "console-api", "other", ...; "console-input" for typed input and results
    QString text{}; // already rendered
    QString url{};  // empty when none
    qint64 line = 0;
    QDateTime receivedAt{}; // when the entry was built on this machine (UTC), not the page's clock
    qint64 repeatCount = 1;
    QList<StackFrame> stack{}; // innermost frame first
    EntryKind kind = EntryKind::message;
    QList<RemoteObjectRef> objects{}; // expandable objects the entry refers to, in argument order
    QUuid answers{}; // a result: the evaluation it answers (its input entry's id); null otherwise
    // The page's own time of the message (its "timestamp"), when it gave one.
    std::optional<double> timestamp{};
    // A message the page replayed to a session that enabled its console: the replay it came in (one
    // per enabling); null for messages that arrived live. The store drops what it already holds.
    QUuid replay{};
    // The order in which the store took the entry, across every page and device; 0 until stored.
    // Unlike receivedAt (stamped on the connections' threads) it never ties or goes back.
    qint64 sequence = 0;

    // The source of the notices this program adds to a page's console (not the page's own messages).
    static constexpr QStringView kNoticeSource = u"tavolin";

    // Where the message came from, for display: the file name of `url` (or the whole url when it is no
    // URL) followed by ":line" when the line is known. Absent when there is no url.
    std::optional<QString> location() const;
};
