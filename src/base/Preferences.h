#pragma once

#include <QString>

// The user's preferences: every key the program stores, with its type and default, in the
// platform's settings store for the user. Reads always go to the store, so a value written by
// another part of the program (or another launch) is seen at once; a stored value of the wrong
// type or out of range reads as the default.
class Preferences {
public:
    static constexpr int kDefaultMcpPort = 49876;
    static constexpr double kDefaultTranscriptZoom = 1.0;
    static constexpr double kMinTranscriptZoom = 0.5;
    static constexpr double kMaxTranscriptZoom = 3.0;
    static constexpr auto kDefaultBadgePlacement = "left";

    // Whether the agent endpoint is on; off by default.
    static bool mcpEnabled();
    static void setMcpEnabled(bool enabled);

    // The agent endpoint's port; anything but 1–65535 reads as kDefaultMcpPort.
    static int mcpPort();
    static void setMcpPort(int port);

    // The transcript's zoom factor, kept within kMinTranscriptZoom–kMaxTranscriptZoom; zero or less
    // stored means none was chosen (kDefaultTranscriptZoom).
    static double transcriptZoom();
    static void setTranscriptZoom(double zoom);

    // Whether the console window stays above other windows; off by default.
    static bool alwaysOnTop();
    static void setAlwaysOnTop(bool on);

    // Whether simulator windows carry the unseen-message badge, and where on them; on by default.
    static bool badgeEnabled();
    static void setBadgeEnabled(bool enabled);
    static QString badgePlacement();
    static void setBadgePlacement(const QString& placement);

    // Whether a page's console keeps its messages when the page loads another document (a marker
    // row stands between them); off by default: a load empties it.
    static bool keepAcrossLoads();
    static void setKeepAcrossLoads(bool keep);
};
