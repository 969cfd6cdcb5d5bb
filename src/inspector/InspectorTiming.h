#pragma once

#include <chrono>

// The timing of an inspector connection. Tests shorten these so that the suite stays fast; the
// program uses the defaults.
struct InspectorTiming {
    using Duration = std::chrono::milliseconds;

    // A fresh session that announced no target is enabled directly after this.
    Duration enableFallback{600};
    // Application list, request expiry and session revival run on this poll.
    Duration poll{4000};
    // A session that has not been enabled this long after setup is reopened.
    Duration revival{5000};
    // A request, evaluations included, is given up this long after it was sent.
    Duration requestDeadline{12000};
    // An evaluation waiting for its page's session is given up after this.
    Duration queuedExpiry{5000};
    // A console message waits this long for the previews of its objects (a navigation for the page's
    // address) before it is published with what is known.
    Duration previewWait{1000};

    static InspectorTiming current();
    static void set(const InspectorTiming& timing);
};
