#pragma once

#include "ui/TranscriptState.h"

#include <QPointer>
#include <QWebEngineView>

class ConsoleActions;
class ConsoleHub;

// The transcript document in a web view, kept in step with the hub.
//
// Only differences travel to the page, as short calls on its SC: the prompt, follow and filter when
// they change, the entries after the last delivered one, a reset when the scope changed or the last
// delivered entry is gone, a repeat count when a row's changes. Scripts wait in order until the
// document has loaded. The page's messages (run input, complete, expand an object, open the context
// menu) become calls on the hub, the page's connection and `actions`.
//
// The view follows the hub's changes by itself, at most once per turn of the event loop. Main thread.
class TranscriptBridge : public QWebEngineView {
    Q_OBJECT

public:
    TranscriptBridge(ConsoleHub* hub, ConsoleActions* actions, QWidget* parent = nullptr);
    ~TranscriptBridge() override;

    // Shows `state`; an equal state sends nothing.
    void update(const TranscriptState& state);
    const TranscriptState& state() const { return m_state; }

    // The prompt's text for a scope: what input would run in, or why it cannot.
    static QString promptLabel(const ConsoleHub& hub, const ConsoleScope& scope);

signals:
    // Every script handed to the page, in order, when it is handed (queued ones when the page loads).
    void scriptRun(const QString& script);
    // The document has loaded and the queued scripts ran.
    void loaded();

private:
    QPointer<ConsoleHub> m_hub;
    QPointer<ConsoleActions> m_actions;
    TranscriptState m_state;
};
