#include "ui/TranscriptDocument.h"

#include "base/Logging.h"

#include <QFile>
#include <QUrl>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

namespace {

constexpr auto kChannelScriptName = "tavolin-qwebchannel";
constexpr auto kChannelScriptPath = ":/qtwebchannel/qwebchannel.js";

QString readResource(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcUi) << "missing resource" << path;
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

} // namespace

QString TranscriptDocument::html() {
    return readResource(QString::fromLatin1(kResourcePath));
}

void TranscriptDocument::load(QWebEnginePage* page, QObject* host) {
    // The page talks to its host through the web channel; the channel's client script ships with Qt.
    auto* channel = page->webChannel();
    if (!channel) {
        channel = new QWebChannel(page);
        page->setWebChannel(channel, QWebEngineScript::MainWorld);
    }
    const auto name = QStringLiteral("console");
    if (auto* previous = channel->registeredObjects().value(name))
        channel->deregisterObject(previous);
    channel->registerObject(name, host);

    auto& scripts = page->scripts();
    for (const auto& old : scripts.find(QString::fromLatin1(kChannelScriptName)))
        scripts.remove(old);
    QWebEngineScript script;
    script.setName(QString::fromLatin1(kChannelScriptName));
    script.setSourceCode(readResource(QString::fromLatin1(kChannelScriptPath)));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    scripts.insert(script);

    QObject::connect(
        page, &QWebEnginePage::loadFinished, page,
        [](bool ok) {
            if (!ok)
                qCWarning(lcUi) << "the transcript document failed to load";
        },
        Qt::SingleShotConnection);
    page->setHtml(html(), QUrl());
}
