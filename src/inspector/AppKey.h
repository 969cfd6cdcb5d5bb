#pragma once

#include <QHash>
#include <QString>

#include <functional>

// Identifies one application on one device. The device id always comes first so that every map
// keyed by applications is partitioned by device.
struct AppKey {
    QString deviceID;
    QString appID;

    friend bool operator==(const AppKey&, const AppKey&) = default;
};

inline size_t qHash(const AppKey& key, size_t seed = 0) noexcept {
    return qHashMulti(seed, key.deviceID, key.appID);
}

template <> struct std::hash<AppKey> {
    size_t operator()(const AppKey& key) const noexcept { return qHash(key); }
};
