#pragma once

#include <QHash>
#include <QString>

#include <functional>

// An object that lives in the page and can be expanded on demand. The id only means something to
// the page that issued it, and only while the page keeps the object.
struct RemoteObjectRef {
    QString objectID{};
    QString label{}; // one-line description, the branch title when an entry refers to several objects

    friend bool operator==(const RemoteObjectRef&, const RemoteObjectRef&) = default;
};

inline size_t qHash(const RemoteObjectRef& ref, size_t seed = 0) noexcept {
    return qHashMulti(seed, ref.objectID, ref.label);
}

template <> struct std::hash<RemoteObjectRef> {
    size_t operator()(const RemoteObjectRef& ref) const noexcept { return qHash(ref); }
};
