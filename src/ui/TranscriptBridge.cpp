#include "ui/TranscriptBridge.h"

#include "base/Logging.h"
#include "base/Preferences.h"
#include "console/ConsoleHub.h"
#include "inspector/WebInspectorConnection.h"
#include "ui/ConsoleActions.h"
#include "ui/TranscriptHost.h"
#include "ui/TranscriptPage.h"
#include "ui/TranscriptPayload.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMenu>
#include <QShortcut>

#include <algorithm>

namespace {

constexpr double kZoomStep = 1.1;

std::optional<PageKey> pageOf(const ConsoleScope& scope) {
    if (const PageKey* page = std::get_if<PageKey>(&scope.value()))
        return *page;
    return std::nullopt;
}

QString boolText(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

TranscriptBridge::TranscriptBridge(ConsoleHub* hub, ConsoleActions* actions, QWidget* parent)
    : QWebEngineView(parent), m_hub(hub), m_actions(actions), m_host(new TranscriptHost(this)),
      m_page(new TranscriptPage(this)) {
    setPage(m_page);
    setContextMenuPolicy(Qt::NoContextMenu); // the page reports where a menu is wanted
    m_page->setBackgroundColor(palette().color(QPalette::Base));
    m_page->setZoomFactor(Preferences::transcriptZoom());

    connect(m_host, &TranscriptHost::received, this, &TranscriptBridge::received);
    connect(m_page, &QWebEnginePage::loadFinished, this, [this](bool ok) {
        if (!ok || m_loaded)
            return;
        m_loaded = true;
        for (const QString& script : std::exchange(m_queued, {}))
            run(script);
        emit loaded();
    });

    if (hub) {
        for (const auto signal : {&ConsoleHub::entriesChanged, &ConsoleHub::pagesChanged,
                                  &ConsoleHub::isCapturingChanged, &ConsoleHub::connectionsChanged})
            connect(hub, signal, this, &TranscriptBridge::scheduleRefresh);
        connect(hub, &ConsoleHub::entryRepeated, this, [this](const PageKey&, const QUuid& id, qint64 count) {
            const QString text = Uuid::text(id);
            if (m_pageOfEntry.contains(text))
                run(QStringLiteral("SC.repeat(%1, %2)").arg(TranscriptPayload::string(text)).arg(count));
        });
    }

    const std::pair<QKeyCombination, double> zooms[] = {{Qt::CTRL | Qt::Key_Equal, kZoomStep},
                                                        {Qt::CTRL | Qt::Key_Plus, kZoomStep},
                                                        {Qt::CTRL | Qt::Key_Minus, 1 / kZoomStep},
                                                        {Qt::CTRL | Qt::Key_0, 0}};
    for (const auto& [keys, factor] : zooms) {
        auto* shortcut = new QShortcut(QKeySequence(keys), this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, factor = factor] { zoom(factor); });
    }

    m_page->loadDocument(m_host);
}

// The page calls its host until it goes; it goes first.
TranscriptBridge::~TranscriptBridge() {
    setPage(nullptr);
    delete m_page;
}

void TranscriptBridge::update(const TranscriptState& state) {
    m_state = state;
    m_updated = true;
    refresh();
}

QString TranscriptBridge::promptLabel(const ConsoleHub& hub, const ConsoleScope& scope) {
    const std::optional<PageKey> page = pageOf(scope);
    if (!page)
        return QStringLiteral("Select a webview to run JavaScript");
    if (!hub.canEvaluate(page))
        return QStringLiteral("Not collecting from this webview");
    const auto pages = hub.pages();
    const auto it = pages.constFind(*page);
    return QStringLiteral("Run JavaScript in ") +
           (it == pages.cend() ? QStringLiteral("this webview") : it->displayTitle());
}

// Beyond the page's edges the view shows the text background, also after the palette changed.
void TranscriptBridge::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange)
        m_page->setBackgroundColor(palette().color(QPalette::Base));
    QWebEngineView::changeEvent(event);
}

void TranscriptBridge::scheduleRefresh() {
    if (std::exchange(m_refreshQueued, true))
        return;
    QMetaObject::invokeMethod(this, &TranscriptBridge::refresh, Qt::QueuedConnection);
}

void TranscriptBridge::refresh() {
    m_refreshQueued = false;
    if (!m_hub || !m_updated)
        return;
    const std::optional<PageKey> page = pageOf(m_state.scope);
    if (const Switches prompt{m_hub->canEvaluate(page), promptLabel(*m_hub, m_state.scope)};
        prompt != m_prompt) {
        m_prompt = prompt;
        run(QStringLiteral("SC.prompt({enabled: %1, label: %2})")
                .arg(boolText(prompt.first), TranscriptPayload::string(prompt.second)));
    }
    if (m_state.follow != m_follow) {
        m_follow = m_state.follow;
        run(QStringLiteral("SC.follow(%1)").arg(boolText(m_state.follow)));
    }
    if (const Switches filter{m_state.problemsOnly, m_state.search}; filter != m_filter) {
        m_filter = filter;
        run(QStringLiteral("SC.filter({problems: %1, search: %2})")
                .arg(boolText(filter.first), TranscriptPayload::string(filter.second)));
    }
    refreshEntries();
}

// New entries are found by their sequence numbers, so a message costs only what it adds. The page
// starts over with the whole list when the scope changed or the store took entries of its device
// away (a clear, a page's own clear): rows it shows may be among them, even when its newest is not.
void TranscriptBridge::refreshEntries() {
    const ConsoleScope& scope = m_state.scope;
    const qint64 removals = m_hub->removals(scope.deviceID());
    QList<ConsoleEntry> fresh;
    const bool reset = m_delivered != scope || removals != m_removals;
    if (!reset)
        fresh = m_hub->entriesAfter(scope, m_lastSequence);
    m_delivered = scope;
    m_removals = removals;
    if (reset) {
        fresh = m_hub->entries(scope);
        m_pageOfEntry.clear();
        m_lastSequence = 0;
    } else if (fresh.isEmpty()) {
        return;
    }
    for (const ConsoleEntry& entry : fresh)
        m_pageOfEntry.insert(Uuid::text(entry.id), entry.page);
    if (!fresh.isEmpty())
        m_lastSequence = fresh.last().sequence;
    const bool showsPage = !pageOf(scope);
    const auto pages = showsPage ? m_hub->pages() : QHash<PageKey, InspectorPage>();
    run((reset ? QStringLiteral("SC.reset(") : QStringLiteral("SC.append(")) +
        TranscriptPayload::entries(fresh, showsPage ? &pages : nullptr) + u')');
}

void TranscriptBridge::run(const QString& script) {
    if (!m_loaded) {
        m_queued.append(script);
        return;
    }
    qCDebug(lcUi) << "transcript:" << script.left(120);
    emit scriptRun(script);
    m_page->runJavaScript(script);
}

void TranscriptBridge::zoom(double factor) {
    const double next = std::clamp(factor == 0 ? Preferences::kDefaultTranscriptZoom : zoomFactor() * factor,
                                   Preferences::kMinTranscriptZoom, Preferences::kMaxTranscriptZoom);
    setZoomFactor(next);
    Preferences::setTranscriptZoom(next);
}

// Messages the page posts; anything malformed, or with nothing to act on, is dropped.
void TranscriptBridge::received(const QJsonObject& message) {
    const QString type = message.value("type").toString();
    const std::optional<PageKey> page = pageOf(m_state.scope);
    QPointer<TranscriptBridge> self(this); // answers may come after the view is gone
    if (type == u"eval" && message.value("text").isString() && page && m_hub) {
        m_hub->evaluate(message.value("text").toString(), *page);
    } else if (type == u"complete" && message.value("token").isDouble() && page && m_hub) {
        const auto token = qint64(message.value("token").toDouble());
        const QJsonValue base = message.value("base");
        const auto answer = [self, token](const QStringList& names) {
            if (self)
                self->run(
                    QStringLiteral("SC.completions(%1, %2)").arg(token).arg(TranscriptPayload::names(names)));
        };
        if (WebInspectorConnection* link = m_hub->connection(page->deviceID))
            link->completions(base.isString() ? std::optional(base.toString()) : std::nullopt, *page, answer);
        else
            answer({});
    } else if (const QString entry = message.value("entry").toString(),
               object = message.value("object").toString();
               type == u"expand" && !entry.isEmpty() && !object.isEmpty() && m_pageOfEntry.contains(entry) &&
               m_hub) {
        m_hub->expand(
            object, m_pageOfEntry.value(entry), [self, entry, object](const QList<PropertyNode>& nodes) {
                if (self)
                    self->run(QStringLiteral("SC.properties(%1, %2, %3)")
                                  .arg(TranscriptPayload::string(entry), TranscriptPayload::string(object),
                                       TranscriptPayload::properties(nodes)));
            });
    } else if (type == u"context") {
        // The page measures in its own CSS pixels from the top left.
        const double scale = zoomFactor();
        const QPoint at(qRound(message.value("x").toDouble() * scale),
                        qRound(message.value("y").toDouble() * scale));
        QMenu* menu = contextMenu(message);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(mapToGlobal(at));
    } else {
        qCWarning(lcUi) << "dropped a transcript message of type" << type.left(40);
    }
}

QMenu* TranscriptBridge::contextMenu(const QJsonObject& report) {
    const QString selection = report.value("selection").toString();
    const QString line = report.value("text").toString();
    const QString object = report.value("object").toString();
    const auto found = m_pageOfEntry.constFind(report.value("entry").toString());
    auto* menu = new QMenu(this);
    const auto add = [menu](const QString& text, auto action) {
        connect(menu->addAction(text), &QAction::triggered, menu, action);
    };
    const auto copyText = [](const QString& text) {
        return [text] { QGuiApplication::clipboard()->setText(text); };
    };
    if (!selection.isEmpty())
        add(QStringLiteral("Copy"), copyText(selection));
    if (!line.isEmpty())
        add(QStringLiteral("Copy Line"), copyText(line));
    if (!object.isEmpty() && found != m_pageOfEntry.cend()) {
        menu->addSeparator();
        for (const bool asJSON : {true, false})
            add(asJSON ? QStringLiteral("Copy as JSON") : QStringLiteral("Copy as JavaScript"),
                [actions = m_actions, object, page = *found, asJSON] {
                    if (actions)
                        actions->copy(object, page, asJSON);
                });
    }
    menu->addSeparator();
    add(QStringLiteral("Select All"), [this] { triggerPageAction(QWebEnginePage::SelectAll); });
    return menu;
}
