#pragma once

#include <QStringList>

#include <cstdio>

class ConsoleHub;

// The headless report: run a fresh hub for a few seconds, then print what it found.
namespace Diagnostics {

constexpr double kDefaultSeconds = 5.0;
// How many of each device's newest messages the report lists.
constexpr int kNewestMessages = 20;

// The wait asked for on the command line: the number right after "--dump", else the default.
double seconds(const QStringList& arguments);

// Runs the hub for `seconds`, prints the report and returns the exit status (always 0).
int dump(double seconds);

// The report of what `hub` holds now.
QString report(const ConsoleHub& hub, bool accessibilityGranted);

} // namespace Diagnostics
