#pragma once

#include <QString>

class QObject;
class QWebEnginePage;

// The transcript page compiled into the program as :/transcript/transcript.html.
//
// The page is driven by short script calls on its global SC and reports back through one host object
// registered on the page's web channel as "console". That object must offer an invokable
// post(QJsonObject) (a slot or Q_INVOKABLE); every message arrives there as one JSON object whose
// "type" names it.
class TranscriptDocument {
public:
    static constexpr auto kResourcePath = ":/transcript/transcript.html";

    // The whole document, UTF-8 decoded; empty if the resource is missing.
    static QString html();

    // Prepares `page` for the transcript and loads it: supplies qwebchannel.js to the page's main world
    // at document creation, registers `host` as "console" on a web channel owned by the page, and loads
    // the document with no base URL. `host` must outlive the page or be unregistered by the caller.
    static void load(QWebEnginePage* page, QObject* host);
};
