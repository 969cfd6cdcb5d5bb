#pragma once

#include "inspector/PageKey.h"
#include "ui/TranscriptState.h"

#include <QHash>
#include <QJsonObject>
#include <QPointer>
#include <QStringList>
#include <QWebEngineView>

#include <optional>
#include <utility>

class ConsoleActions;
class ConsoleHub;
class QMenu;
class TranscriptHost;
class TranscriptPage;

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

    // The menu for the page's "context" report, its actions wired to the clipboard, `actions` and
    // the page; a new menu the caller owns.
    QMenu* contextMenu(const QJsonObject& report);

signals:
    // Every script handed to the page, in order, when it is handed (queued ones when the page loads).
    void scriptRun(const QString& script);
    // The document has loaded and the queued scripts ran.
    void loaded();

protected:
    void changeEvent(QEvent* event) override;

private:
    using Switches =
        std::pair<bool, QString>; // the prompt's enabled and label, the filter's problems and search

    void scheduleRefresh();
    void refresh();
    void refreshEntries();
    void run(const QString& script);
    void received(const QJsonObject& message);
    void zoom(double factor);

    QPointer<ConsoleHub> m_hub;
    QPointer<ConsoleActions> m_actions;
    TranscriptState m_state;
    TranscriptHost* m_host;
    TranscriptPage* m_page;
    bool m_updated = false; // nothing is sent before the window's first update
    bool m_refreshQueued = false;
    bool m_loaded = false;
    QStringList m_queued;

    // What the page was last sent.
    std::optional<Switches> m_prompt;
    std::optional<bool> m_follow;
    std::optional<Switches> m_filter;
    std::optional<ConsoleScope> m_delivered; // the scope of the rows shown
    qint64 m_lastSequence = 0;               // of the last entry delivered; 0 when none is
    qint64 m_removals = 0;                   // the hub's count when entries were last delivered
    QHash<QString, PageKey> m_pageOfEntry;   // every delivered entry, by id text, since the last reset
};
