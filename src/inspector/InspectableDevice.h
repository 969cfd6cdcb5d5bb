#pragma once

#include <QHash>
#include <QString>

#include <optional>

// A booted simulator or an attached device that the inspector link can connect to.
struct InspectableDevice {
    enum class Kind { simulator, device };

    QString udid;
    QString name;
    QString runtime;
    Kind kind = Kind::simulator;
    // Simulators only: the inspector daemon's socket, when it was found.
    std::optional<QString> socketPath;

    const QString& id() const { return udid; }

    friend bool operator==(const InspectableDevice&, const InspectableDevice&) = default;
};

size_t qHash(const InspectableDevice& device, size_t seed = 0) noexcept;

// Stable sort by name in code-point order, as both device lists are presented.
void sortByName(QList<InspectableDevice>& devices);
