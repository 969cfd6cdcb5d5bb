#pragma once

#include "agent/ConsoleFilter.h"
#include "inspector/PageKey.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <optional>

class ConsoleHub;

// Agents waiting for a console message: each wait answers once, with the first message stored after
// it began that its filter keeps, or with a time-out text. A wait holds nothing but its own timer
// and its watch on the hub; every wait ends, unanswered, when this object goes. Main thread only.
class ConsoleWaits : public QObject {
    Q_OBJECT

public:
    using Reply = std::function<void(QString text, bool isError)>;

    using QObject::QObject;

    // Watches the page, or every page of every device when there is none. `line` renders the message.
    void wait(ConsoleHub& hub, std::optional<PageKey> page, ConsoleFilter filter,
              std::chrono::milliseconds timeout, std::function<QString(const ConsoleEntry&)> line,
              Reply reply);
    qsizetype count() const;
};
