#include "console/EntryStore.h"

#include "base/Logging.h"

#include <algorithm>
#include <vector>

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
    const auto it = m_waiting.constFind(page);
    return it == m_waiting.cend() ? 0 : it->size();
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
    // Each page's list is in storing order already; together they are ordered by sequence.
    std::vector<const ConsoleEntry*> order;
    order.reserve(size_t(entryCount(scope)));
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (!scope.contains(it.key()))
            continue;
        for (const ConsoleEntry& entry : *it)
            order.push_back(&entry);
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

void EntryStore::append(ConsoleEntry entry) {
    QList<ConsoleEntry>& list = m_entries[entry.page];
    const PageKey page = entry.page;
    if (list.size() >= kHistoryLimit) {
        const qsizetype excess = list.size() - kHistoryLimit + 1;
        list.remove(0, excess);
        recount(page, -excess);
    }
    entry.sequence = ++m_sequence;
    recount(page, 1);
    const EntryKind kind = entry.kind;
    const bool problem = isProblem(entry.level);
    list.append(std::move(entry));
    emit entriesChanged();

    switch (kind) {
    case EntryKind::message:
        if (m_reading != page.deviceID) {
            count(m_unseen, page.deviceID, &EntryStore::unseenChanged);
            if (problem)
                count(m_unseenProblems, page.deviceID, &EntryStore::unseenProblemsChanged);
        }
        break;
    case EntryKind::result:
        answerWaiting(page);
        break;
    case EntryKind::input:
        break;
    }
}

void EntryStore::answerWaiting(const PageKey& page) {
    auto waiting = m_waiting.find(page);
    if (waiting == m_waiting.end() || waiting->isEmpty())
        return;
    EvaluationCompletion completion = waiting->takeFirst();
    if (waiting->isEmpty())
        m_waiting.erase(waiting);
    emit waitingChanged();
    if (completion)
        completion(m_entries.value(page).last());
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
    if (changed)
        emit entriesChanged();
    if (forgetProperties(deviceID))
        emit propertiesChanged();
    markSeen(deviceID);
}

void EntryStore::drop(const QString& deviceID) {
    if (m_entries.removeIf([&](decltype(m_entries)::iterator it) { return it.key().deviceID == deviceID; }))
        emit entriesChanged();
    m_deviceCounts.remove(deviceID);
    m_appCounts.removeIf([&](decltype(m_appCounts)::iterator it) { return it.key().deviceID == deviceID; });
    if (forgetProperties(deviceID))
        emit propertiesChanged();
    if (m_unseen.remove(deviceID))
        emit unseenChanged();
    if (m_unseenProblems.remove(deviceID))
        emit unseenProblemsChanged();
}

void EntryStore::await(const PageKey& page, EvaluationCompletion completion) {
    m_waiting[page].append(std::move(completion));
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
