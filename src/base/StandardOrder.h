#pragma once

#include <QCollator>
#include <QString>

// The order a file browser shows names in: locale-aware, case-insensitive, digits by numeric
// value ("page 9" before "Page 10").
namespace StandardOrder {

// A collator for that order. The C locale collates by code point and ignores numeric mode, so a
// process running under it (LANG=C, common in services and CI) uses English rules instead.
QCollator collator();

} // namespace StandardOrder
