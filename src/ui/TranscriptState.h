#pragma once

#include "console/ConsoleScope.h"

#include <QString>

// What the window asks the transcript to show: the scope and the view's own switches. Everything
// else (the entries, whether input can run, the prompt's text) the transcript reads from the hub.
struct TranscriptState {
    ConsoleScope scope = ConsoleScope::device(QString());
    bool problemsOnly = false;
    QString search{}; // {} so that designated initialisers may leave it out
    bool follow = true;

    friend bool operator==(const TranscriptState&, const TranscriptState&) = default;
};
