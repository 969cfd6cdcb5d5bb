#pragma once

#include "console/ConsoleScope.h"
#include "inspector/ConsoleEntry.h"
#include "inspector/ObjectKey.h"
#include "inspector/PageKey.h"
#include "inspector/PropertyNode.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>
#include <span>
#include <utility>

// The console entries of every page, at most kHistoryLimit per page, with per device the number of
// messages nobody has seen and how many of those are warnings or errors; the rows of expanded objects;
// and the callers waiting for the result of an evaluation, each for its own.
//
// Messages count as unseen unless their device is being read; a repeat always counts, never as a
// problem; input and result entries never count. Lives on the main thread. unseenChanged and its
// kin fire only when the value really changed; entriesChanged and waitingChanged on every write.
class EntryStore : public QObject {
    Q_OBJECT

public:
    static constexpr int kHistoryLimit = 2000;

    using EvaluationCompletion = std::function<void(ConsoleEntry)>;

    using QObject::QObject;

    // A scope's entries in the order they were stored.
    QList<ConsoleEntry> entries(const ConsoleScope& scope) const;
    // The scope's entries stored after the one numbered `sequence`, in storing order. Costs what it
    // returns plus a look at each page's newest entries, so readers that keep up stay cheap.
    QList<ConsoleEntry> entriesAfter(const ConsoleScope& scope, qint64 sequence) const;
    // The sequence number of the newest entry ever stored (0 before the first).
    qint64 lastSequence() const { return m_sequence; }
    // Counts the times a device's entries were taken away other than by the history limit (a
    // clear, a page's own clear, the device dropped): a reader of the device that saw the same count
    // has lost nothing it holds.
    qint64 removals(const QString& deviceID) const { return m_removals.value(deviceID); }
    // Number of stored entries of a page, or of a scope (0 when none); both are kept, not counted.
    qsizetype entryCount(const PageKey& page) const;
    qsizetype entryCount(const ConsoleScope& scope) const;
    QHash<QString, qint64> unseen() const { return m_unseen; }
    QHash<QString, qint64> unseenProblems() const { return m_unseenProblems; }
    qint64 unseen(const QString& deviceID) const { return m_unseen.value(deviceID); }
    qint64 unseenProblems(const QString& deviceID) const { return m_unseenProblems.value(deviceID); }
    QHash<ObjectKey, QList<PropertyNode>> properties() const { return m_properties; }
    // The device being read, whose messages are seen as they arrive.
    std::optional<QString> reading() const { return m_reading; }
    void setReading(std::optional<QString> deviceID);

    // What the connections report: every entry goes through append (a replayed message the page's
    // list already holds is dropped, uncounted: see heldAlready); the page's last console message
    // (neither input, result nor a notice of ours) repeated `count` times; a page that cleared its
    // own console.
    void append(ConsoleEntry entry);
    // The same for several entries, in order, each as append would take it; the signals fire once
    // for all of them (unseen counts once, each waiting caller still on its own).
    void append(QList<ConsoleEntry> entries);
    void repeated(const PageKey& page, qint64 count);
    void cleared(const PageKey& page);

    void markSeen(const QString& deviceID);
    // Empties a device's pages and expanded objects and marks it seen.
    void clear(const QString& deviceID);
    // Forgets everything of a device; its waiting callers are answered with an error.
    void drop(const QString& deviceID);

    // The result entry that answers `evaluation` (an input entry's id) goes to `completion`.
    void await(const QUuid& evaluation, const PageKey& page, EvaluationCompletion completion);
    // Forgets a waiting caller, which gave up.
    void forget(const QUuid& evaluation);
    // Callers waiting for a result of this page.
    qsizetype waitingCount(const PageKey& page) const;

    // The stored rows of an object; nothing when none (or no rows) are stored.
    std::optional<QList<PropertyNode>> cachedProperties(const ObjectKey& key) const;
    void remember(const ObjectKey& key, QList<PropertyNode> nodes);

signals:
    void entriesChanged();
    void unseenChanged();
    void unseenProblemsChanged();
    void propertiesChanged();
    void readingChanged();
    void waitingChanged();
    // A stored message now repeats `count` times (entriesChanged fires as well).
    void entryRepeated(const PageKey& page, const QUuid& id, qint64 count);

private:
    // Whether a message the page replayed to a new session is one the page's list already holds:
    // the same level, text, location and page time, stored before this replay began. Each stored
    // message stands for one replayed message of a replay.
    bool heldAlready(const ConsoleEntry& entry);
    // What the signals after storing an entry need to know of it.
    struct Stored {
        QString deviceID;
        EntryKind kind = EntryKind::message;
        bool problem = false;
        std::optional<ConsoleEntry> result; // a copy, for the caller waiting for it
    };
    // Nothing when the entry is a replayed message the page's list holds already.
    std::optional<Stored> store(ConsoleEntry entry);
    // Counts a stored message as unseen unless its device is being read; tells which counts grew.
    std::pair<bool, bool> countUnseen(const Stored& stored);
    // The signals and answers after storing: one change notification for all of them.
    void settle(std::span<const Stored> stored);
    void count(QHash<QString, qint64>& counts, const QString& deviceID, void (EntryStore::*changed)());
    void answerWaiting(const QUuid& evaluation, const ConsoleEntry& result);
    bool forgetProperties(const QString& deviceID);
    // Keeps the per-device and per-application counts in step with a page's list.
    void recount(const PageKey& page, qsizetype delta);

    QHash<PageKey, QList<ConsoleEntry>> m_entries;
    struct Replay {
        QUuid id;
        QSet<QUuid> matched; // the stored messages the replay's messages matched
    };
    QHash<PageKey, Replay> m_replays;  // the latest replay of each page
    qint64 m_sequence = 0;             // of the last stored entry
    QHash<QString, qint64> m_removals; // by device, kept after the device goes
    QHash<QString, qsizetype> m_deviceCounts;
    QHash<AppKey, qsizetype> m_appCounts;
    QHash<QString, qint64> m_unseen;
    QHash<QString, qint64> m_unseenProblems;
    QHash<ObjectKey, QList<PropertyNode>> m_properties;
    std::optional<QString> m_reading;
    struct Waiting {
        PageKey page;
        EvaluationCompletion completion;
    };
    QHash<QUuid, Waiting> m_waiting; // by evaluation
};
