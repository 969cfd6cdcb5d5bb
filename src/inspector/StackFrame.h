#pragma once

#include <QString>
#include <QtGlobal>

// One frame of a message's call stack, as the page reports it.
struct StackFrame {
    QString function{}; // "(anonymous)" when the page gives no name
    QString url{};      // empty when none
    qint64 line = 0;
    qint64 column = 0;
};
