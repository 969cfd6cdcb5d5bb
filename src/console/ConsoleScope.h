#pragma once

#include "inspector/AppKey.h"
#include "inspector/PageKey.h"

#include <QHash>
#include <QString>

#include <functional>
#include <variant>

// Which entries a reader wants: every page of one device, every page of one application, or one page.
// There is deliberately no scope for all devices; readers that want everything ask per device.
class ConsoleScope {
public:
    struct Device {
        QString deviceID;
        friend bool operator==(const Device&, const Device&) = default;
    };
    using Value = std::variant<Device, AppKey, PageKey>;

    static ConsoleScope device(QString deviceID) { return ConsoleScope(Device{std::move(deviceID)}); }
    static ConsoleScope app(AppKey key) { return ConsoleScope(std::move(key)); }
    static ConsoleScope page(PageKey key) { return ConsoleScope(std::move(key)); }

    const Value& value() const { return m_value; }

    // The device every scope lies on.
    const QString& deviceID() const;

    // Whether the page's entries belong to this scope.
    bool contains(const PageKey& page) const;

    friend bool operator==(const ConsoleScope&, const ConsoleScope&) = default;

private:
    explicit ConsoleScope(Value value) : m_value(std::move(value)) {}

    Value m_value;
};

size_t qHash(const ConsoleScope& scope, size_t seed = 0) noexcept;

template <> struct std::hash<ConsoleScope> {
    size_t operator()(const ConsoleScope& scope) const noexcept { return qHash(scope); }
};
