#include "console/EntryStore.h"

#include "base/Logging.h"

#include <algorithm>
#include <span>
#include <vector>

namespace {

// A page makes this notice of the messages it no longer keeps anew for every replay, with a new time.
constexpr QStringView kExpiredNotice = u" console messages are not shown.";

} // namespace

void EntryStore::setReading(std::optional<QString> deviceID) {
    if (m_reading == deviceID)
        return;
    m_reading = std::move(deviceID);
    emit readingChanged();
}

qsizetype EntryStore::entryCount(const PageKey& page) const {
    const auto it = m_entries.constFind(page);
    return it == m_entries.cend() ? 0 : it->size();
}

qsizetype EntryStore::waitingCount(const PageKey& page) const {
    return std::count_if(m_waiting.cbegin(), m_waiting.cend(),
                         [&](const Waiting& waiting) { return waiting.page == page; });
}

qsizetype EntryStore::entryCount(const ConsoleScope& scope) const {
    const ConsoleScope::Value& value = scope.value();
    if (const PageKey* page = std::get_if<PageKey>(&value))
        return entryCount(*page);
    if (const AppKey* app = std::get_if<AppKey>(&value))
        return m_appCounts.value(*app);
    return m_deviceCounts.value(scope.deviceID());
}

QList<ConsoleEntry> EntryStore::entries(const ConsoleScope& scope) const {
    if (const PageKey* page = std::get_if<PageKey>(&scope.value()))
        return m_entries.value(*page);
    return entriesAfter(scope, 0); // sequence numbers start at 1
}

QList<ConsoleEntry> EntryStore::entriesAfter(const ConsoleScope& scope, qint64 sequence) const {
    // Each page's list is ordered by sequence: its new entries are a tail, found from the end;
    // merged, the tails are ordered by sequence again.
    const auto tail = [sequence](const QList<ConsoleEntry>& list) {
        qsizetype first = list.size();
        while (first > 0 && list[first - 1].sequence > sequence)
            --first;
        return first;
    };
    if (const PageKey* page = std::get_if<PageKey>(&scope.value())) {
        const auto it = m_entries.constFind(*page);
        return it == m_entries.cend() ? QList<ConsoleEntry>() : it->mid(tail(*it));
    }
    std::vector<const ConsoleEntry*> order;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (!scope.contains(it.key()))
            continue;
        for (qsizetype i = tail(*it); i < it->size(); ++i)
            order.push_back(&(*it)[i]);
    }
    std::sort(order.begin(), order.end(),
              [](const ConsoleEntry* a, const ConsoleEntry* b) { return a->sequence < b->sequence; });
    QList<ConsoleEntry> result;
    result.reserve(qsizetype(order.size()));
    for (const ConsoleEntry* entry : order)
        result.append(*entry);
    return result;
}

void EntryStore::recount(const PageKey& page, qsizetype delta) {
    m_deviceCounts[page.deviceID] += delta;
    m_appCounts[page.app()] += delta;
}

void EntryStore::count(QHash<QString, qint64>& counts, const QString& deviceID,
                       void (EntryStore::*changed)()) {
    ++counts[deviceID];
    emit(this->*changed)();
}

bool EntryStore::heldAlready(const ConsoleEntry& entry) {
    const auto list = m_entries.constFind(entry.page);
    if (list == m_entries.cend() || list->isEmpty())
        return false;
    Replay& replay = m_replays[entry.page];
    if (replay.id != entry.replay)
        replay = {entry.replay, {}};
    const bool expiredNotice = entry.text.endsWith(kExpiredNotice);
    for (auto held = list->crbegin(); held != list->crend(); ++held) {
        if (held->kind != EntryKind::message || held->replay == entry.replay ||
            held->source == ConsoleEntry::kNoticeSource || held->level != entry.level ||
            held->line != entry.line || held->url != entry.url || held->text != entry.text ||
            (!expiredNotice && held->timestamp != entry.timestamp) || replay.matched.contains(held->id))
            continue;
        replay.matched.insert(held->id);
        return true;
    }
    return false;
}

std::optional<EntryStore::Stored> EntryStore::store(ConsoleEntry entry) {
    if (entry.kind == EntryKind::message && !entry.replay.isNull() && heldAlready(entry)) {
        qCDebug(lcConsole) << "a replayed message already held:" << entry.text.left(80);
        return std::nullopt;
    }
    QList<ConsoleEntry>& list = m_entries[entry.page];
    const PageKey& page = entry.page;
    if (list.size() >= kHistoryLimit) {
        const qsizetype excess = list.size() - kHistoryLimit + 1;
        list.remove(0, excess);
        recount(page, -excess);
    }
    entry.sequence = ++m_sequence;
    recount(page, 1);
    Stored stored{page.deviceID, entry.kind, isProblem(entry.level), std::nullopt};
    // A copy for the caller waiting for it: the list may change under signals.
    if (entry.kind == EntryKind::result)
        stored.result = entry;
    list.append(std::move(entry));
    return stored;
}

std::pair<bool, bool> EntryStore::countUnseen(const Stored& stored) {
    if (stored.kind != EntryKind::message || m_reading == stored.deviceID)
        return {false, false};
    ++m_unseen[stored.deviceID];
    if (stored.problem)
        ++m_unseenProblems[stored.deviceID];
    return {true, stored.problem};
}

void EntryStore::append(ConsoleEntry entry) {
    if (const std::optional<Stored> stored = store(std::move(entry)))
        settle({&*stored, 1});
}

void EntryStore::append(QList<ConsoleEntry> entries) {
    if (entries.isEmpty())
        return;
    std::vector<Stored> stored;
    stored.reserve(std::size_t(entries.size()));
    for (ConsoleEntry& entry : entries)
        if (std::optional<Stored> one = store(std::move(entry)))
            stored.push_back(std::move(*one));
    if (!stored.empty())
        settle(stored);
}

void EntryStore::settle(std::span<const Stored> stored) {
    emit entriesChanged();
    bool unseen = false, problems = false;
    for (const Stored& one : stored) {
        const auto [counted, problem] = countUnseen(one);
        unseen |= counted;
        problems |= problem;
    }
    if (unseen)
        emit unseenChanged();
    if (problems)
        emit unseenProblemsChanged();
    for (const Stored& one : stored)
        if (one.result)
            answerWaiting(one.result->answers, *one.result);
}

void EntryStore::answerWaiting(const QUuid& evaluation, const ConsoleEntry& result) {
    auto waiting = m_waiting.find(evaluation);
    if (evaluation.isNull() || waiting == m_waiting.end())
        return;
    EvaluationCompletion completion = std::move(waiting->completion);
    m_waiting.erase(waiting);
    emit waitingChanged();
    if (completion)
        completion(result);
}

void EntryStore::repeated(const PageKey& page, qint64 count) {
    ConsoleEntry* message = nullptr;
    if (auto it = m_entries.find(page); it != m_entries.end())
        for (auto at = it->rbegin(); at != it->rend() && !message; ++at)
            if (at->kind == EntryKind::message && at->source != ConsoleEntry::kNoticeSource)
                message = &*at;
    if (!message) {
        qCWarning(lcConsole) << "a repeat count without a message to repeat on" << page.deviceID;
        return;
    }
    message->repeatCount = count;
    emit entriesChanged();
    emit entryRepeated(page, message->id, count);
    this->count(m_unseen, page.deviceID, &EntryStore::unseenChanged);
}

void EntryStore::cleared(const PageKey& page) {
    recount(page, -entryCount(page));
    m_entries[page].clear();
    ++m_removals[page.deviceID];
    emit entriesChanged();
}

void EntryStore::markSeen(const QString& deviceID) {
    if (m_unseen.value(deviceID, -1) != 0) {
        m_unseen.insert(deviceID, 0);
        emit unseenChanged();
    }
    if (m_unseenProblems.value(deviceID, -1) != 0) {
        m_unseenProblems.insert(deviceID, 0);
        emit unseenProblemsChanged();
    }
}

bool EntryStore::forgetProperties(const QString& deviceID) {
    return m_properties.removeIf(
               [&](decltype(m_properties)::iterator it) { return it.key().page.deviceID == deviceID; }) > 0;
}

void EntryStore::clear(const QString& deviceID) {
    bool changed = false;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it.key().deviceID == deviceID) {
            recount(it.key(), -it->size());
            it->clear();
            changed = true;
        }
    }
    if (changed) {
        ++m_removals[deviceID];
        emit entriesChanged();
    }
    if (forgetProperties(deviceID))
        emit propertiesChanged();
    markSeen(deviceID);
}

void EntryStore::drop(const QString& deviceID) {
    if (m_entries.removeIf([&](decltype(m_entries)::iterator it) { return it.key().deviceID == deviceID; })) {
        ++m_removals[deviceID];
        emit entriesChanged();
    }
    m_deviceCounts.remove(deviceID);
    m_replays.removeIf([&](decltype(m_replays)::iterator it) { return it.key().deviceID == deviceID; });
    m_appCounts.removeIf([&](decltype(m_appCounts)::iterator it) { return it.key().deviceID == deviceID; });
    if (forgetProperties(deviceID))
        emit propertiesChanged();
    if (m_unseen.remove(deviceID))
        emit unseenChanged();
    if (m_unseenProblems.remove(deviceID))
        emit unseenProblemsChanged();
    // Their results can no longer come.
    std::vector<std::pair<QUuid, PageKey>> gone;
    for (auto it = m_waiting.cbegin(); it != m_waiting.cend(); ++it)
        if (it->page.deviceID == deviceID)
            gone.emplace_back(it.key(), it->page);
    if (!gone.empty())
        qCWarning(lcConsole) << gone.size() << "evaluations end unanswered with the connection to"
                             << deviceID;
    for (const auto& [evaluation, page] : gone) {
        ConsoleEntry failure{.page = page,
                             .level = ConsoleLevel::error,
                             .source = QStringLiteral("console-input"),
                             .text =
                                 QStringLiteral("The connection to the device ended before the result came."),
                             .receivedAt = QDateTime::currentDateTimeUtc(),
                             .kind = EntryKind::result,
                             .answers = evaluation};
        answerWaiting(evaluation, failure);
    }
}

void EntryStore::await(const QUuid& evaluation, const PageKey& page, EvaluationCompletion completion) {
    m_waiting.insert(evaluation, {page, std::move(completion)});
    emit waitingChanged();
}

void EntryStore::forget(const QUuid& evaluation) {
    if (m_waiting.remove(evaluation))
        emit waitingChanged();
}

std::optional<QList<PropertyNode>> EntryStore::cachedProperties(const ObjectKey& key) const {
    const auto cached = m_properties.constFind(key);
    if (cached == m_properties.cend() || cached->isEmpty())
        return std::nullopt;
    return *cached;
}

void EntryStore::remember(const ObjectKey& key, QList<PropertyNode> nodes) {
    m_properties.insert(key, std::move(nodes));
    emit propertiesChanged();
}
