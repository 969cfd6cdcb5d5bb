#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QVariant>
#include <QWebEngineView>
#include <memory>

// Hosts the transcript page in a real engine, offscreen, and stands in for the program's transcript
// bridge: it is the page's "console" channel object and keeps every message the page posts, in order.
//
// Once loaded, the page also offers the tests short helpers (see TranscriptHarness.cpp):
//   $, $$            querySelector, querySelectorAll as an array
//   shown(s)         whether s is rendered; texts(s): the text of each match, joined by "|"
//   shape(s)         the classes of s's children (" hidden" marks hidden ones)
//   atEnd()          whether the log shows its end
//   field()          the input's value with its selection as "[...]" or its caret as "|", while focused
//   options()        the completion list ("*" marks the chosen option), empty while closed
//   menu(s)          opens the context menu 3 px right of and 4 px below s's corner: "x,y" if taken
//   pick(n)          presses option n of the list: true if the page kept the press from taking the focus
//   E(id, text, f)   an entry as the host delivers it, with the fields f changed
//   N(from, to, t)   entries E<from> to E<to - 1>, their texts t(i) ("message <i>" unless given)
class TranscriptHarness : public QObject {
    Q_OBJECT
public:
    // Call before the QApplication exists: offscreen platform, Chromium flags that work as root and
    // without a GPU, shared GL contexts. `extraChromiumFlags` are appended (e.g. a colour scheme).
    static void prepareEnvironment(const QByteArray& extraChromiumFlags = {});

    ~TranscriptHarness() override;

    // Loads the document and waits until it has finished loading and the channel answers.
    bool load();
    // Runs a script in the page and waits for its result.
    QVariant js(const QString& script);

    // The messages of `type` the page has posted; waits until there are `count` of them.
    QList<QJsonObject> messages(const QString& type) const;
    bool waitForMessages(const QString& type, int count = 1, int timeoutMs = 5000);

    // Real keyboard input to the page's focused element; each returns once the page has handled it.
    bool typeText(const QString& text);
    bool press(int key);

    QWebEngineView& view() { return *m_view; }

public slots:
    void post(const QJsonObject& message) { m_messages.append(message); }

private:
    std::unique_ptr<QWebEngineView> m_view = std::make_unique<QWebEngineView>();
    QList<QJsonObject> m_messages;
    int m_keys = 0; // keys sent to the page so far
};
