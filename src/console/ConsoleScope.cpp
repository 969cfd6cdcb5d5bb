#include "console/ConsoleScope.h"

namespace {

template <class... Ts> struct Overloaded : Ts... { using Ts::operator()...; };
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

} // namespace

const QString& ConsoleScope::deviceID() const {
    return std::visit(Overloaded{
                          [](const Device& device) -> const QString& { return device.deviceID; },
                          [](const AppKey& app) -> const QString& { return app.deviceID; },
                          [](const PageKey& page) -> const QString& { return page.deviceID; },
                      },
                      m_value);
}

bool ConsoleScope::contains(const PageKey& page) const {
    return std::visit(Overloaded{
                          [&](const Device& device) { return page.deviceID == device.deviceID; },
                          [&](const AppKey& app) { return page.app() == app; },
                          [&](const PageKey& key) { return page == key; },
                      },
                      m_value);
}

size_t qHash(const ConsoleScope& scope, size_t seed) noexcept {
    const size_t payload =
        std::visit(Overloaded{
                       [](const ConsoleScope::Device& device) { return qHash(device.deviceID); },
                       [](const AppKey& app) { return qHash(app); },
                       [](const PageKey& page) { return qHash(page); },
                   },
                   scope.value());
    return qHashMulti(seed, scope.value().index(), payload);
}
