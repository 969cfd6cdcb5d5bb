#include "base/Logging.h"

Q_LOGGING_CATEGORY(lcWire, "tavolin.wire", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDiscovery, "tavolin.discovery", QtWarningMsg)
Q_LOGGING_CATEGORY(lcInspector, "tavolin.inspector", QtWarningMsg)
Q_LOGGING_CATEGORY(lcConsole, "tavolin.console", QtWarningMsg)
Q_LOGGING_CATEGORY(lcBroadcast, "tavolin.broadcast", QtWarningMsg)
Q_LOGGING_CATEGORY(lcAgent, "tavolin.agent", QtWarningMsg)
Q_LOGGING_CATEGORY(lcUi, "tavolin.ui", QtWarningMsg)
Q_LOGGING_CATEGORY(lcApp, "tavolin.app", QtWarningMsg)
