#pragma once

#include "base/Uuid.h"

#include <QHash>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>

// One row of an expanded page-side object. Every node built gets a fresh id, so two nodes read from
// the same property at different times are never equal.
struct PropertyNode {
    QUuid id = Uuid::create();
    QString name{};                    // empty for the single row that reports a failure
    QString value{};                   // display text of the value
    std::optional<QString> objectID{}; // present when the value can itself be expanded

    friend bool operator==(const PropertyNode&, const PropertyNode&) = default;
};

inline size_t qHash(const PropertyNode& node, size_t seed = 0) noexcept {
    return qHashMulti(seed, node.id, node.name, node.value, node.objectID.has_value(),
                      node.objectID.value_or(QString()));
}

template <> struct std::hash<PropertyNode> {
    size_t operator()(const PropertyNode& node) const noexcept { return qHash(node); }
};
