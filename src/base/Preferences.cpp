#include "base/Preferences.h"

#include "base/Logging.h"

#include <QSettings>

#include <algorithm>
#include <cmath>

namespace {

constexpr auto kMcpEnabled = "mcpEnabled";
constexpr auto kMcpPort = "mcpPort";
constexpr auto kTranscriptZoom = "transcriptZoom";
constexpr auto kAlwaysOnTop = "alwaysOnTop";
constexpr auto kBadgeEnabled = "badgeEnabled";
constexpr auto kBadgePlacement = "badgePlacement";
constexpr auto kKeepAcrossLoads = "keepAcrossLoads";

QSettings store() {
#ifdef Q_OS_DARWIN
    // A dotted organization becomes the reverse-domain name of the preferences file there.
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "norvik.com", "tavolin");
#else
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "norvik", "tavolin");
#endif
}

bool readBool(const char* key, bool fallback) {
    const QVariant value = store().value(key);
    return value.isValid() ? value.toBool() : fallback;
}

void write(const char* key, const QVariant& value) {
    QSettings settings = store();
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qCWarning(lcApp) << "cannot store preference" << key << "in" << settings.fileName();
}

double clampZoom(double zoom) {
    if (!std::isfinite(zoom))
        return Preferences::kDefaultTranscriptZoom;
    return std::clamp(zoom, Preferences::kMinTranscriptZoom, Preferences::kMaxTranscriptZoom);
}

} // namespace

bool Preferences::mcpEnabled() {
    return readBool(kMcpEnabled, false);
}

void Preferences::setMcpEnabled(bool enabled) {
    write(kMcpEnabled, enabled);
}

int Preferences::mcpPort() {
    bool ok = false;
    const qlonglong stored = store().value(kMcpPort).toLongLong(&ok);
    return ok && stored >= 1 && stored <= 65535 ? int(stored) : kDefaultMcpPort;
}

void Preferences::setMcpPort(int port) {
    write(kMcpPort, port);
}

double Preferences::transcriptZoom() {
    bool ok = false;
    const double stored = store().value(kTranscriptZoom).toDouble(&ok);
    // Zero or less means no zoom was chosen, not the smallest one.
    return ok && stored > 0 ? clampZoom(stored) : kDefaultTranscriptZoom;
}

void Preferences::setTranscriptZoom(double zoom) {
    write(kTranscriptZoom, clampZoom(zoom));
}

bool Preferences::alwaysOnTop() {
    return readBool(kAlwaysOnTop, false);
}

void Preferences::setAlwaysOnTop(bool on) {
    write(kAlwaysOnTop, on);
}

bool Preferences::badgeEnabled() {
    return readBool(kBadgeEnabled, true);
}

void Preferences::setBadgeEnabled(bool enabled) {
    write(kBadgeEnabled, enabled);
}

QString Preferences::badgePlacement() {
    // "left", "toolbar" or "right"; anything else (an older or hand-edited value) reads as the default.
    const QString stored = store().value(kBadgePlacement).toString();
    if (stored == QLatin1String("left") || stored == QLatin1String("toolbar") ||
        stored == QLatin1String("right"))
        return stored;
    return QString::fromLatin1(kDefaultBadgePlacement);
}

void Preferences::setBadgePlacement(const QString& placement) {
    write(kBadgePlacement, placement);
}

bool Preferences::keepAcrossLoads() {
    return readBool(kKeepAcrossLoads, false);
}

void Preferences::setKeepAcrossLoads(bool keep) {
    write(kKeepAcrossLoads, keep);
}
