#pragma once

#include <QLoggingCategory>

// One category per layer. Warnings (what is dropped or fails) are on by default, traffic at debug
// level is off; QT_LOGGING_RULES="tavolin.*.debug=true" turns everything on.
Q_DECLARE_LOGGING_CATEGORY(lcWire)      // tavolin.wire: frames, property lists, transports
Q_DECLARE_LOGGING_CATEGORY(lcDiscovery) // tavolin.discovery: simulators, devices, tool runs
Q_DECLARE_LOGGING_CATEGORY(lcInspector) // tavolin.inspector: connections, sessions, page requests
Q_DECLARE_LOGGING_CATEGORY(lcConsole)   // tavolin.console: the store
Q_DECLARE_LOGGING_CATEGORY(lcBroadcast) // tavolin.broadcast: unseen counts to other processes
Q_DECLARE_LOGGING_CATEGORY(lcAgent)     // tavolin.agent: the MCP endpoint and its tools
Q_DECLARE_LOGGING_CATEGORY(lcUi)        // tavolin.ui: windows and the transcript
Q_DECLARE_LOGGING_CATEGORY(lcApp)       // tavolin.app: start-up and the headless modes
