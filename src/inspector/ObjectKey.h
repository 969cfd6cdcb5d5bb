#pragma once

#include "inspector/PageKey.h"

#include <QHash>
#include <QString>

#include <functional>

// Key of the cache of expanded page-side objects: an object id only means something on its page.
struct ObjectKey {
    PageKey page{};
    QString objectID{};

    friend bool operator==(const ObjectKey&, const ObjectKey&) = default;
};

inline size_t qHash(const ObjectKey& key, size_t seed = 0) noexcept {
    return qHashMulti(seed, key.page, key.objectID);
}

template <> struct std::hash<ObjectKey> {
    size_t operator()(const ObjectKey& key) const noexcept { return qHash(key); }
};
