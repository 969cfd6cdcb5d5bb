#pragma once

#include <QHash>

// What a console entry is: a message the page logged, an expression typed into the page, or the
// answer to such an expression (or its failure).
enum class EntryKind { message, input, result };

inline size_t qHash(EntryKind kind, size_t seed = 0) noexcept {
    return ::qHash(int(kind), seed);
}
