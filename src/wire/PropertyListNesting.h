#pragma once

#include <cstddef>

// How deep a property list nests, told from its bytes before libplist reads it (libplist reads,
// frees and writes trees recursively). The check itself never recurses: it walks with an explicit
// stack, in time linear in the list's size.
namespace PropertyListNesting {

enum class Nesting {
    fine,     // no more than maxDepth dictionaries and arrays inside each other
    tooDeep,  // more
    malformed // not walkable (libplist would refuse it too), or a key libplist cannot read safely
};

// Binary lists (bplist00) are walked through their object table, XML ones scanned for their tags.
Nesting check(const char* data, std::size_t size, int maxDepth);

} // namespace PropertyListNesting
