#pragma once

#include "inspector/AppKey.h"

#include <QHash>
#include <QString>

#include <cstdint>
#include <functional>

// Identifies one inspectable page: device, application, and the service's page number.
struct PageKey {
    QString deviceID;
    QString appID;
    qint64 pageID = 0;

    AppKey app() const { return {deviceID, appID}; }

    friend bool operator==(const PageKey&, const PageKey&) = default;
};

inline size_t qHash(const PageKey& key, size_t seed = 0) noexcept {
    return qHashMulti(seed, key.deviceID, key.appID, key.pageID);
}

template <> struct std::hash<PageKey> {
    size_t operator()(const PageKey& key) const noexcept { return qHash(key); }
};
