#pragma once

#include "RecordingHost.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QVariant>
#include <memory>

class QWebEngineView;
class QWidget;

// Hosts the transcript page in a real engine, offscreen, with a RecordingHost as its "console".
class TranscriptHarness {
public:
    // Call before the QApplication exists: offscreen platform, Chromium flags that work as root and
    // without a GPU, shared GL contexts. `extraChromiumFlags` are appended (e.g. a colour scheme).
    static void prepareEnvironment(const QByteArray& extraChromiumFlags = {});

    explicit TranscriptHarness(int width = 900, int height = 600);
    ~TranscriptHarness();

    // Loads the document and waits until it has finished loading and the channel answers.
    bool load();

    // Runs a script in the page and waits for its result.
    QVariant js(const QString& script);
    // Calls SC.<method>(args...) with JSON arguments.
    QVariant call(const QString& method, const QJsonArray& args);

    // Waits until the host has received `count` messages of `type` in total.
    bool waitForMessages(const QString& type, int count = 1, int timeoutMs = 5000);

    // Real keyboard input to the page's focused element; each returns once the page has handled it.
    bool typeText(const QString& text);
    bool press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);

    RecordingHost& host() { return *m_host; }
    QWebEngineView& view() { return *m_view; }
    QWidget* input() const;

private:
    int keyReleases();
    bool waitForKeyReleases(int count);

    std::unique_ptr<RecordingHost> m_host;
    std::unique_ptr<QWebEngineView> m_view;
};

// A console entry as the host delivers it; fields not given take the ordinary values.
QJsonObject entry(const QString& id, const QString& text, const QJsonObject& fields = {});
