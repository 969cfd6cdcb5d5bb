#include "ui/TranscriptPage.h"

#include "base/Logging.h"
#include "ui/TranscriptDocument.h"

void TranscriptPage::loadDocument(QObject* host) {
    m_documentRequested = true;
    TranscriptDocument::load(this, host);
}

bool TranscriptPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
    // The document is loaded from a string; whatever comes after it would replace the transcript.
    if (m_documentRequested && isMainFrame && url.scheme() == u"data") {
        m_documentRequested = false;
        return true;
    }
    qCWarning(lcUi) << "the transcript refused a navigation of type" << type << "to"
                    << url.toDisplayString().left(80);
    return false;
}

QWebEnginePage* TranscriptPage::createWindow(WebWindowType type) {
    qCWarning(lcUi) << "the transcript refused to open a window of type" << type;
    return nullptr;
}
