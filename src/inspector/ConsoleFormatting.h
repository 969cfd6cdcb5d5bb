#pragma once

#include "inspector/ConsoleEntry.h"
#include "inspector/FormatSpecifiers.h"
#include "inspector/PageKey.h"
#include "inspector/RemoteObjectText.h"
#include "inspector/StackFrame.h"

#include <QList>

#include <utility>
#include <vector>

#include <simdjson.h>

// Turns what the inspector protocol says about console messages into console entries. Stateless;
// safe to call from any thread. The text of the values in them comes from RemoteObjectText.h, the
// joining of console arguments from FormatSpecifiers.h; both are included here for callers.
//
// Input is the inspector's JSON as parsed by simdjson. A field that is missing, or holds a value of
// another type than expected, counts as missing, field by field (ProtocolFields.h). Any JSON number
// counts as a number. Text is assembled as UTF-8 and turned into a QString once per result.
namespace ConsoleFormatting {

// The object arguments of a message that came without a preview: their index and object id.
using MissingPreviews = std::vector<std::pair<qsizetype, QString>>;

// The entry for the "message" object of a "Console.messageAdded" event. With `missing`, also the
// arguments that wait for "Runtime.getPreview", read in the same pass.
ConsoleEntry entry(simdjson::dom::object message, const PageKey& page, MissingPreviews* missing = nullptr);

// Frames of a "stackTrace" value: an object with "callFrames", or an array of frames.
QList<StackFrame> stack(simdjson::dom::element value);

} // namespace ConsoleFormatting
