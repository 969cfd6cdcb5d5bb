#pragma once

#include "inspector/AppKey.h"

#include <QByteArray>
#include <QString>

#include <optional>

// An application on a device that exposes web content to the inspector.
struct InspectorApp {
    AppKey key;
    QString name;
    std::optional<QByteArray> iconData;

    // The process id: the decimal number after the first ":" of the application identifier.
    std::optional<qint64> pid() const;

    friend bool operator==(const InspectorApp&, const InspectorApp&) = default;
};
