#pragma once

#include "inspector/ConsoleEntry.h"
#include "inspector/InspectorPage.h"
#include "inspector/PropertyNode.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// The JSON texts the transcript page's SC calls take, written into scripts.
namespace TranscriptPayload {

// `text` as a JSON string literal, quotes included.
QString string(const QString& text);

// One object per entry, in order. `pages` gives each row's page label; null leaves every label empty.
QString entries(const QList<ConsoleEntry>& entries, const QHash<PageKey, InspectorPage>* pages);

// The rows of an expanded object: name, value and the value's own object id or null.
QString properties(const QList<PropertyNode>& nodes);

QString names(const QStringList& names);

// What a frame's file is called on its row: the last path component of its URL, or the text as it is.
QString fileName(const QString& url);

} // namespace TranscriptPayload
