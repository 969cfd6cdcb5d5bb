#pragma once

#include <QWebEnginePage>

// The transcript's web page: it shows its own document and nothing else. The one navigation it
// allows is the document's load, and only once it was asked for; links, forms, history and reloads
// go nowhere, and no window is ever opened.
class TranscriptPage : public QWebEnginePage {
    Q_OBJECT

public:
    using QWebEnginePage::QWebEnginePage;

    // Loads the transcript document with `host` as its "console" object.
    void loadDocument(QObject* host);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage* createWindow(WebWindowType type) override;

private:
    bool m_documentRequested = false;
};
