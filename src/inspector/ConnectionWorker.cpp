#include "inspector/ConnectionWorker.h"

#include "inspector/ConsoleFormatting.h"
#include "wire/InspectorJson.h"
#include "base/Uuid.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace {

// Argument keys of the inspector service.
const QString kConnectionKey = QStringLiteral("WIRConnectionIdentifierKey");
const QString kApplicationKey = QStringLiteral("WIRApplicationIdentifierKey");
const QString kPageKey = QStringLiteral("WIRPageIdentifierKey");
const QString kSenderKey = QStringLiteral("WIRSenderKey");
const QString kDestinationKey = QStringLiteral("WIRDestinationKey");
const QString kMessageDataKey = QStringLiteral("WIRMessageDataKey");
const QString kSocketDataKey = QStringLiteral("WIRSocketDataKey");
const QString kPartialKey = QStringLiteral("WIRPartialMessageKey");
const QString kFinalKey = QStringLiteral("WIRFinalMessageKey");
const QString kApplicationDictionaryKey = QStringLiteral("WIRApplicationDictionaryKey");
const QString kListingKey = QStringLiteral("WIRListingKey");
const QString kNameKey = QStringLiteral("WIRApplicationNameKey");
const QString kBundleKey = QStringLiteral("WIRApplicationBundleIdentifierKey");
const QString kIconKey = QStringLiteral("WIRApplicationIconKey");
const QString kTypeKey = QStringLiteral("WIRTypeKey");
const QString kTitleKey = QStringLiteral("WIRTitleKey");
const QString kOverrideNameKey = QStringLiteral("WIROverrideNameKey");
const QString kURLKey = QStringLiteral("WIRURLKey");

const QString kStoppedAnswering = QStringLiteral(
    "This page has stopped answering. Its main thread is busy \u2014 script that never returns will do it \u2014 "
    "and nothing sent over the inspector can reach it until that finishes. Reload the webview to get it back.");
const QString kAnsweringAgain = QStringLiteral("The page is answering again.");
const QString kEvaluationLabel = QStringLiteral("the expression you ran");
const QString kNotAttached = QStringLiteral("This webview is not attached. It may have navigated or closed.");

constexpr int kMaxWrapDepth = 8;

std::optional<QString> stringValue(const QVariantMap& map, const QString& key) {
    const auto it = map.constFind(key);
    if (it == map.cend() || it->metaType().id() != QMetaType::QString)
        return std::nullopt;
    return it->toString();
}

std::optional<QByteArray> dataValue(const QVariantMap& map, const QString& key) {
    const auto it = map.constFind(key);
    if (it == map.cend() || it->metaType().id() != QMetaType::QByteArray)
        return std::nullopt;
    return it->toByteArray();
}

std::optional<QVariantMap> mapValue(const QVariantMap& map, const QString& key) {
    const auto it = map.constFind(key);
    if (it == map.cend() || it->metaType().id() != QMetaType::QVariantMap)
        return std::nullopt;
    return it->toMap();
}

std::optional<qint64> numberValue(const QVariantMap& map, const QString& key) {
    const auto it = map.constFind(key);
    if (it == map.cend())
        return std::nullopt;
    switch (it->metaType().id()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return it->toLongLong();
    case QMetaType::Double: {
        const double value = it->toDouble();
        if (!(value >= -9.2e18 && value <= 9.2e18))
            return std::nullopt;
        return qint64(value);
    }
    default:
        return std::nullopt;
    }
}

std::optional<std::string_view> jsonString(simdjson::dom::object object, const char* key) {
    std::string_view value;
    if (object[key].get_string().get(value) != simdjson::SUCCESS)
        return std::nullopt;
    return value;
}

QString qstr(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

std::optional<qint64> jsonInteger(simdjson::dom::element value) {
    int64_t integer;
    if (value.get_int64().get(integer) == simdjson::SUCCESS)
        return integer;
    double number;
    if (value.get_double().get(number) == simdjson::SUCCESS && number == double(qint64(number)))
        return qint64(number);
    return std::nullopt;
}

// An empty remote object, for answers that carry none.
simdjson::dom::object emptyObject() {
    static thread_local simdjson::dom::parser parser;
    static thread_local simdjson::dom::object object = parser.parse(simdjson::padded_string(std::string_view("{}")))
                                                            .get_object()
                                                            .value_unsafe();
    return object;
}

// {"error": {"message": text}}, the shape of an inspector error, parsed with `parser`.
std::optional<simdjson::dom::element> errorAnswer(simdjson::dom::parser& parser, const QString& text) {
    const QByteArray json =
        QJsonDocument(QJsonObject{{"error", QJsonObject{{"message", text}}}}).toJson(QJsonDocument::Compact);
    simdjson::dom::element answer;
    if (parser.parse(json.constData(), size_t(json.size())).get(answer) != simdjson::SUCCESS)
        return std::nullopt;
    return answer;
}

} // namespace

ConnectionWorker::ConnectionWorker(WebInspectorConnection* owner, QString deviceID, QString connectionID,
                                   std::shared_ptr<FrameInbox> inbox, const InspectorTiming& timing)
    : m_owner(owner), m_deviceID(std::move(deviceID)), m_connectionID(std::move(connectionID)),
      m_inbox(std::move(inbox)), m_timing(timing) {}

ConnectionWorker::~ConnectionWorker() = default;

QVariantMap ConnectionWorker::base() const { return {{kConnectionKey, m_connectionID}}; }

QVariantMap ConnectionWorker::pageArgument(const PageKey& key) const {
    return {{kConnectionKey, m_connectionID}, {kApplicationKey, key.appID}, {kPageKey, key.pageID}};
}

// ---- Start, frames and the poll --------------------------------------------------------------

void ConnectionWorker::begin(std::shared_ptr<WIRSocket> socket) {
    m_socket = std::move(socket);
    // A service that hung up at once may already have been torn down: start nothing then.
    if (m_tornDown)
        return;
    m_socket->send(QStringLiteral("_rpc_reportIdentifier:"), base());
    m_socket->send(QStringLiteral("_rpc_getConnectedApplications:"), base());
    m_resync = new QTimer(this);
    m_resync->setTimerType(Qt::CoarseTimer);
    m_resync->setInterval(m_timing.poll);
    connect(m_resync, &QTimer::timeout, this, &ConnectionWorker::poll);
    m_resync->start();
}

void ConnectionWorker::runTasks() {
    for (WebInspectorConnection::Task& task : m_owner->takeTasks())
        task(*this);
    if (m_deleteDone) {
        std::promise<void>* done = m_deleteDone;
        delete this;
        done->set_value();
    }
}

void ConnectionWorker::drain() {
    FrameInbox::Batch batch = m_inbox->take();
    for (FrameInbox::Frame& frame : batch.frames) {
        if (m_tornDown)
            break;
        handle(frame.selector, frame.argument);
    }
    if (batch.closeReason && !m_tornDown)
        teardown();
}

void ConnectionWorker::poll() {
    if (m_socket)
        m_socket->send(QStringLiteral("_rpc_getConnectedApplications:"), base());
    reviveStaleSessions();
    expireRequests();
}

void ConnectionWorker::handle(const QString& selector, const QVariantMap& argument) {
    // Reassembly of messages that the service sends in pieces.
    const std::optional<QByteArray> partial = dataValue(argument, kPartialKey);
    const std::optional<QByteArray> final = partial ? std::nullopt : dataValue(argument, kFinalKey);
    if (partial || final) {
        QString key;
        if (const auto destination = stringValue(argument, kDestinationKey)) {
            key = *destination;
        } else {
            key = stringValue(argument, kApplicationKey).value_or(QStringLiteral("?")) + QLatin1Char('#') +
                  QString::number(numberValue(argument, kPageKey).value_or(-1));
        }
        if (partial) {
            QByteArray& collected = m_partials[key];
            if (m_partialBytes + partial->size() > kMaxPartialBytes) {
                // A sender that never finishes must not grow our memory without end.
                m_partialBytes -= collected.size();
                m_partials.remove(key);
                return;
            }
            collected.append(*partial);
            m_partialBytes += partial->size();
            return;
        }
        QByteArray whole = m_partials.take(key);
        m_partialBytes -= whole.size();
        whole.append(*final);
        QVariantMap complete = argument;
        complete.insert(kMessageDataKey, whole);
        receivedData(complete);
        return;
    }

    if (selector == QLatin1String("_rpc_applicationSentData:")) {
        receivedData(argument);
    } else if (selector == QLatin1String("_rpc_reportConnectedApplicationList:")) {
        reportedApplications(argument);
    } else if (selector == QLatin1String("_rpc_applicationConnected:") ||
               selector == QLatin1String("_rpc_applicationUpdated:")) {
        if (const auto appID = stringValue(argument, kApplicationKey))
            appConnected(*appID, argument);
    } else if (selector == QLatin1String("_rpc_applicationDisconnected:")) {
        if (const auto appID = stringValue(argument, kApplicationKey))
            appDisconnected(*appID);
    } else if (selector == QLatin1String("_rpc_applicationSentListing:")) {
        if (const auto appID = stringValue(argument, kApplicationKey))
            listing(*appID, argument);
    }
}

// ---- Applications and pages ------------------------------------------------------------------

void ConnectionWorker::reportedApplications(const QVariantMap& argument) {
    const QVariantMap dictionary = mapValue(argument, kApplicationDictionaryKey).value_or(QVariantMap());
    const QStringList known = m_apps.keys();
    for (const QString& appID : known)
        if (!dictionary.contains(appID))
            appDisconnected(appID);
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
        const QVariantMap app = it->metaType().id() == QMetaType::QVariantMap ? it->toMap() : QVariantMap();
        if (record(it.key(), app))
            publishApps();
        sendGetListing(it.key());
    }
}

bool ConnectionWorker::record(const QString& appID, const QVariantMap& dictionary) {
    const auto known = m_apps.constFind(appID);
    InspectorApp app = known != m_apps.cend() ? *known : InspectorApp{{m_deviceID, appID}, appID, std::nullopt};
    if (const auto name = stringValue(dictionary, kNameKey))
        app.name = *name;
    else if (const auto bundle = stringValue(dictionary, kBundleKey))
        app.name = *bundle;
    if (const auto icon = dataValue(dictionary, kIconKey))
        app.iconData = *icon;
    if (known != m_apps.cend() && *known == app)
        return false;
    m_apps.insert(appID, std::move(app));
    return true;
}

void ConnectionWorker::appConnected(const QString& appID, const QVariantMap& argument) {
    if (record(appID, argument))
        publishApps();
    sendGetListing(appID);
}

void ConnectionWorker::sendGetListing(const QString& appID) {
    if (m_socket)
        m_socket->send(QStringLiteral("_rpc_forwardGetListing:"), {{kConnectionKey, m_connectionID}, {kApplicationKey, appID}});
}

void ConnectionWorker::appDisconnected(const QString& appID) {
    m_apps.remove(appID);
    publishApps();
    for (auto it = m_pages.begin(); it != m_pages.end();) {
        if (it.key().appID != appID) {
            ++it;
            continue;
        }
        const PageKey key = it.key();
        it = m_pages.erase(it);
        m_unresponsive.remove(key);
        dropSession(key); // the application is gone: nothing to tell the service
    }
    publish();
}

void ConnectionWorker::listing(const QString& appID, const QVariantMap& argument) {
    const auto app = m_apps.constFind(appID);
    const QString appName = app != m_apps.cend() ? app->name : appID;
    const QHash<PageKey, InspectorPage> before = m_pages;
    QSet<PageKey> seen;

    const QVariantMap entries = mapValue(argument, kListingKey).value_or(QVariantMap());
    for (const QVariant& value : entries) {
        if (value.metaType().id() != QMetaType::QVariantMap)
            continue;
        const QVariantMap page = value.toMap();
        const std::optional<qint64> pageID = numberValue(page, kPageKey);
        if (!pageID)
            continue;
        if (const auto type = stringValue(page, kTypeKey);
            type && *type != QLatin1String("WIRTypeWebPage") && *type != QLatin1String("WIRTypePage"))
            continue;
        const PageKey key{m_deviceID, appID, *pageID};
        seen.insert(key);
        const std::optional<QString> holder = stringValue(page, kConnectionKey);
        const bool claimed = holder && *holder != m_connectionID;
        m_pages.insert(key, InspectorPage{key, stringValue(page, kTitleKey).value_or(QString()),
                                          stringValue(page, kOverrideNameKey).value_or(QString()),
                                          stringValue(page, kURLKey).value_or(QString()), appName, claimed, false});
        if (claimed)
            dropSession(key);
        else if (!m_sessions.contains(key) && m_capturing)
            attach(key);
    }

    for (auto it = m_pages.begin(); it != m_pages.end();) {
        if (it.key().appID != appID || seen.contains(it.key())) {
            ++it;
            continue;
        }
        const PageKey key = it.key();
        it = m_pages.erase(it);
        m_unresponsive.remove(key);
        if (auto found = m_sessions.find(key); found != m_sessions.end()) {
            std::unique_ptr<Session> session = std::move(found->second);
            m_sessions.erase(found);
            close(key, *session);
            abandon(*session);
        }
    }

    if (m_pages != before)
        publish();
}

std::optional<PageKey> ConnectionWorker::pageKey(const QVariantMap& argument) const {
    if (const auto destination = stringValue(argument, kDestinationKey)) {
        const auto it = m_sessionPages.constFind(*destination);
        if (it == m_sessionPages.cend())
            return std::nullopt;
        return *it;
    }
    const auto appID = stringValue(argument, kApplicationKey);
    const auto pageID = numberValue(argument, kPageKey);
    if (!appID || !pageID)
        return std::nullopt;
    return PageKey{m_deviceID, *appID, *pageID};
}

void ConnectionWorker::publishApps() {
    QList<InspectorApp> apps = m_apps.values();
    std::stable_sort(apps.begin(), apps.end(), [](const InspectorApp& a, const InspectorApp& b) {
        return QString::compare(a.name, b.name, Qt::CaseSensitive) < 0;
    });
    post(AppsEvent{std::move(apps)});
}

void ConnectionWorker::publish() {
    QList<InspectorPage> pages;
    pages.reserve(m_pages.size());
    for (const InspectorPage& page : std::as_const(m_pages)) {
        pages.append(page);
        pages.last().unresponsive = m_unresponsive.contains(page.key);
    }
    // Sort on precomputed labels: shortLabel parses a URL.
    std::vector<std::pair<QString, qsizetype>> order;
    order.reserve(size_t(pages.size()));
    for (qsizetype i = 0; i < pages.size(); ++i)
        order.emplace_back(pages[i].shortLabel(), i);
    std::stable_sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
        const int byApp = QString::compare(pages[a.second].appName, pages[b.second].appName, Qt::CaseSensitive);
        if (byApp != 0)
            return byApp < 0;
        return QString::compare(a.first, b.first, Qt::CaseSensitive) < 0;
    });
    QList<InspectorPage> sorted;
    sorted.reserve(pages.size());
    for (const auto& [label, index] : order)
        sorted.append(std::move(pages[index]));
    post(PagesEvent{std::move(sorted)});
}

void ConnectionWorker::indicate(const PageKey& page, bool enabled) {
    if (!m_socket)
        return;
    QVariantMap argument = pageArgument(page);
    argument.insert(QStringLiteral("WIRIndicateEnabledKey"), enabled);
    m_socket->send(QStringLiteral("_rpc_forwardIndicateWebView:"), argument);
}

// ---- Sessions --------------------------------------------------------------------------------

ConnectionWorker::Session* ConnectionWorker::sessionFor(const PageKey& key) {
    const auto it = m_sessions.find(key);
    return it == m_sessions.end() ? nullptr : it->second.get();
}

void ConnectionWorker::dropSession(const PageKey& key) {
    const auto it = m_sessions.find(key);
    if (it == m_sessions.end())
        return;
    std::unique_ptr<Session> session = std::move(it->second);
    m_sessionPages.remove(session->senderID);
    m_sessions.erase(it);
    abandon(*session);
}

void ConnectionWorker::attach(const PageKey& key) {
    auto session = std::make_unique<Session>();
    session->serial = m_nextSerial++;
    session->senderID = Uuid::text(Uuid::create());
    session->attachedAt = Clock::now();
    const quint64 serial = session->serial;
    const QString sender = session->senderID;
    // A replaced session's sender must no longer find the page.
    dropSession(key);
    m_sessions.emplace(key, std::move(session));
    m_sessionPages.insert(sender, key);

    if (m_socket) {
        QVariantMap argument = pageArgument(key);
        argument.insert(kSenderKey, sender);
        argument.insert(QStringLiteral("WIRAutomaticallyPause"), false);
        m_socket->send(QStringLiteral("_rpc_forwardSocketSetup:"), argument);
    }

    QTimer::singleShot(m_timing.enableFallback, this, [this, key, serial] {
        Session* session = sessionFor(key);
        if (!session || session->serial != serial || session->enabledTarget || !session->pageTargets.isEmpty())
            return;
        session->enabledTarget = QString();
        enableDomains(key, *session);
    });
}

void ConnectionWorker::enableDomains(const PageKey& key, Session& session) {
    for (const char* method : {"Inspector.enable", "Console.enable", "Runtime.enable", "Inspector.initialized"})
        send(QJsonObject{{"method", QLatin1String(method)}, {"params", QJsonObject()}}, key, session);
    const QStringList waiting = m_queued.take(key);
    for (const QString& expression : waiting)
        run(expression, key, session);
}

void ConnectionWorker::syncDomains(const PageKey& key, Session& session) {
    if (session.pageTargets.isEmpty() || session.enabledTarget == session.pageTargets.last())
        return;
    session.enabledTarget = session.pageTargets.last();
    enableDomains(key, session);
}

qint64 ConnectionWorker::send(QJsonObject message, const PageKey& key, Session& session) {
    const qint64 id = session.nextID++;
    message.insert(QStringLiteral("id"), id);
    QJsonObject outgoing = std::move(message);
    if (!session.pageTargets.isEmpty()) {
        const QByteArray inner = QJsonDocument(outgoing).toJson(QJsonDocument::Compact);
        outgoing = QJsonObject{
            {"id", session.nextID++},
            {"method", QStringLiteral("Target.sendMessageToTarget")},
            {"params", QJsonObject{{"targetId", session.pageTargets.last()}, {"message", QString::fromUtf8(inner)}}}};
    }
    if (m_socket) {
        QVariantMap argument = pageArgument(key);
        argument.insert(kSenderKey, session.senderID);
        argument.insert(kSocketDataKey, QJsonDocument(outgoing).toJson(QJsonDocument::Compact));
        m_socket->send(QStringLiteral("_rpc_forwardSocketData:"), argument);
    }
    return id;
}

bool ConnectionWorker::request(const QString& method, const QJsonObject& params, const PageKey& key,
                               ResponseHandler handler, bool endsWithSession) {
    Session* session = sessionFor(key);
    if (!session)
        return false;
    const qint64 id = send(QJsonObject{{"method", method}, {"params", params}}, key, *session);
    session->pending[id] =
        Pending{std::move(handler), method, Clock::now() + m_timing.requestDeadline, endsWithSession};
    return true;
}

void ConnectionWorker::run(const QString& expression, const PageKey& key, Session& session) {
    const qint64 id = send(QJsonObject{{"method", QStringLiteral("Runtime.evaluate")},
                                       {"params", QJsonObject{{"expression", expression},
                                                              {"objectGroup", QStringLiteral("console")},
                                                              {"includeCommandLineAPI", true},
                                                              {"generatePreview", true},
                                                              {"emulateUserGesture", true}}}},
                           key, session);
    session.pending[id] =
        Pending{[this, key](simdjson::dom::element answer) { deliverEvaluation(answer, key); }, kEvaluationLabel,
                Clock::now() + m_timing.requestDeadline, true};
}

void ConnectionWorker::deliverEvaluation(simdjson::dom::element answer, const PageKey& key) {
    ConsoleEntry entry;
    entry.page = key;
    entry.source = QStringLiteral("console-input");
    entry.receivedAt = QDateTime::currentDateTimeUtc();
    entry.kind = EntryKind::result;
    simdjson::dom::object error;
    if (answer["error"].get_object().get(error) == simdjson::SUCCESS) {
        entry.level = ConsoleLevel::error;
        const auto message = jsonString(error, "message");
        entry.text = message ? qstr(*message) : QStringLiteral("evaluation failed");
    } else {
        simdjson::dom::object value = emptyObject();
        bool thrown = false;
        simdjson::dom::object result;
        if (answer["result"].get_object().get(result) == simdjson::SUCCESS) {
            if (simdjson::dom::object found; result["result"].get_object().get(found) == simdjson::SUCCESS)
                value = found;
            if (bool flag; result["wasThrown"].get_bool().get(flag) == simdjson::SUCCESS)
                thrown = flag;
        }
        entry.level = thrown ? ConsoleLevel::error : ConsoleLevel::log;
        entry.text = ConsoleFormatting::describe(value);
        if (auto reference = ConsoleFormatting::reference(value))
            entry.objects.append(std::move(*reference));
    }
    post(std::move(entry));
}

void ConnectionWorker::evaluate(const QString& expression, const PageKey& key) {
    Session* session = sessionFor(key);
    if (session && session->enabledTarget) {
        run(expression, key, *session);
        return;
    }
    m_queued[key].append(expression);
    reattach(key);
    QTimer::singleShot(m_timing.queuedExpiry, this, [this, key, expression] {
        auto it = m_queued.find(key);
        if (it == m_queued.end())
            return;
        const qsizetype at = it->indexOf(expression);
        if (at < 0)
            return;
        it->removeAt(at);
        if (it->isEmpty())
            m_queued.erase(it);
        simdjson::dom::parser parser;
        if (const auto answer = errorAnswer(parser, kNotAttached))
            deliverEvaluation(*answer, key);
    });
}

void ConnectionWorker::reattach(const PageKey& key) {
    if (auto it = m_sessions.find(key); it != m_sessions.end()) {
        std::unique_ptr<Session> session = std::move(it->second);
        m_sessions.erase(it);
        close(key, *session);
        abandon(*session);
    }
    const auto page = m_pages.constFind(key);
    if (m_capturing && page != m_pages.cend() && !page->claimedElsewhere)
        attach(key);
}

void ConnectionWorker::close(const PageKey& key, Session& session) {
    m_sessionPages.remove(session.senderID);
    sendDidClose(key, session.senderID);
}

void ConnectionWorker::sendDidClose(const PageKey& key, const QString& senderID) {
    if (!m_socket)
        return;
    QVariantMap argument = pageArgument(key);
    argument.insert(kSenderKey, senderID);
    m_socket->send(QStringLiteral("_rpc_forwardDidClose:"), argument);
}

void ConnectionWorker::receivedData(const QVariantMap& argument) {
    const std::optional<QByteArray> data = dataValue(argument, kMessageDataKey);
    if (!data)
        return;
    const std::optional<PageKey> key = pageKey(argument);
    if (!key)
        return;
    Session* session = sessionFor(*key);
    if (!session)
        return;
    const std::optional<simdjson::dom::element> root =
        parseMessage(0, std::string_view(data->constData(), size_t(data->size())));
    if (root)
        dispatch(*root, *key, *session, 0);
}

std::optional<simdjson::dom::element> ConnectionWorker::parseMessage(int depth, std::string_view json) {
    while (int(m_parsers.size()) <= depth)
        m_parsers.push_back(std::make_unique<Parser>());
    Parser& level = *m_parsers[size_t(depth)];
    // The parser wants padding after the text; one buffer per level, reused, spares an
    // allocation per message.
    const size_t needed = json.size() + simdjson::SIMDJSON_PADDING;
    if (level.buffer.size() < needed)
        level.buffer.resize(std::max(needed, level.buffer.size() * 2));
    std::memcpy(level.buffer.data(), json.data(), json.size());
    std::memset(level.buffer.data() + json.size(), 0, simdjson::SIMDJSON_PADDING);
    return InspectorJson::parse(level.parser, std::string_view(level.buffer.data(), json.size()), true);
}

void ConnectionWorker::answered(const PageKey& key) {
    if (!m_unresponsive.remove(key))
        return;
    publish();
    report(key, kAnsweringAgain, ConsoleLevel::log);
}

void ConnectionWorker::dispatch(simdjson::dom::element element, const PageKey& key, Session& session, int depth) {
    simdjson::dom::object message;
    if (element.get_object().get(message) != simdjson::SUCCESS)
        return;
    // A response to one of our requests.
    if (simdjson::dom::element idValue; message["id"].get(idValue) == simdjson::SUCCESS) {
        const std::optional<qint64> id = jsonInteger(idValue);
        const auto pending = id ? session.pending.find(*id) : session.pending.end();
        if (pending != session.pending.end()) {
            ResponseHandler handler = std::move(pending->second.handler);
            session.pending.erase(pending);
            answered(key);
            if (handler)
                handler(element); // may end the session: nothing of it is used after this
            return;
        }
    }

    const std::optional<std::string_view> method = jsonString(message, "method");
    if (!method)
        return;
    simdjson::dom::object params;
    const bool hasParams = message["params"].get_object().get(params) == simdjson::SUCCESS;

    if (*method == "Target.targetCreated") {
        simdjson::dom::object info;
        if (!hasParams || params["targetInfo"].get_object().get(info) != simdjson::SUCCESS)
            return;
        const auto type = jsonString(info, "type");
        const auto target = jsonString(info, "targetId");
        if (!type || *type != "page" || !target)
            return;
        const QString id = qstr(*target);
        if (!session.pageTargets.contains(id))
            session.pageTargets.append(id);
        syncDomains(key, session);
    } else if (*method == "Target.didCommitProvisionalTarget") {
        const auto next = hasParams ? jsonString(params, "newTargetId") : std::nullopt;
        if (!next)
            return;
        if (const auto previous = jsonString(params, "previousTargetId"))
            session.pageTargets.removeAll(qstr(*previous));
        const QString id = qstr(*next);
        if (!session.pageTargets.contains(id))
            session.pageTargets.append(id);
        session.enabledTarget.reset();
        syncDomains(key, session);
    } else if (*method == "Target.targetDestroyed") {
        const auto target = hasParams ? jsonString(params, "targetId") : std::nullopt;
        if (!target)
            return;
        const QString id = qstr(*target);
        session.pageTargets.removeAll(id);
        if (session.enabledTarget == id)
            session.enabledTarget.reset();
        syncDomains(key, session);
    } else if (*method == "Target.dispatchMessageFromTarget") {
        const auto inner = hasParams ? jsonString(params, "message") : std::nullopt;
        if (!inner || depth + 1 >= kMaxWrapDepth)
            return;
        if (const auto root = parseMessage(depth + 1, *inner))
            dispatch(*root, key, session, depth + 1);
    } else if (*method == "Console.messageAdded") {
        answered(key);
        simdjson::dom::object consoleMessage;
        if (!hasParams || params["message"].get_object().get(consoleMessage) != simdjson::SUCCESS)
            return;
        post(ConsoleFormatting::entry(consoleMessage, key));
    } else if (*method == "Console.messageRepeatCountUpdated") {
        // A missing "count" must not reach jsonInteger: converting the failed lookup throws.
        std::optional<qint64> count;
        if (simdjson::dom::element value; hasParams && params["count"].get(value) == simdjson::SUCCESS)
            count = jsonInteger(value);
        post(RepeatEvent{key, count.value_or(1)});
    } else if (*method == "Console.messagesCleared") {
        post(ClearedEvent{key});
    }
}

void ConnectionWorker::report(const PageKey& key, const QString& text, ConsoleLevel level) {
    ConsoleEntry entry;
    entry.page = key;
    entry.level = level;
    entry.source = QStringLiteral("tavolin");
    entry.text = text;
    entry.receivedAt = QDateTime::currentDateTimeUtc();
    post(std::move(entry));
}

// ---- Housekeeping ----------------------------------------------------------------------------

void ConnectionWorker::expireRequests() {
    const Clock::time_point now = Clock::now();
    std::vector<PageKey> keys;
    keys.reserve(m_sessions.size());
    for (const auto& [key, session] : m_sessions)
        keys.push_back(key);
    for (const PageKey& key : keys) {
        Session* session = sessionFor(key);
        if (!session)
            continue;
        std::vector<Pending> expired;
        for (auto it = session->pending.begin(); it != session->pending.end();) {
            if (it->second.deadline < now) {
                expired.push_back(std::move(it->second));
                it = session->pending.erase(it);
            } else {
                ++it;
            }
        }
        if (expired.empty())
            continue;
        const bool wasUnresponsive = m_unresponsive.contains(key);
        for (Pending& pending : expired) {
            simdjson::dom::parser parser;
            const auto answer = errorAnswer(parser, QStringLiteral("The page stopped answering, so ") + pending.label +
                                                        QStringLiteral(" never came back."));
            if (pending.handler && answer)
                pending.handler(*answer);
        }
        if (!wasUnresponsive) {
            m_unresponsive.insert(key);
            publish();
            report(key, kStoppedAnswering, ConsoleLevel::warning);
        }
    }
}

void ConnectionWorker::reviveStaleSessions() {
    if (!m_capturing)
        return;
    const Clock::time_point now = Clock::now();
    std::vector<PageKey> stale;
    for (const auto& [key, session] : m_sessions)
        if (!session->enabledTarget && now - session->attachedAt > m_timing.revival)
            stale.push_back(key);
    for (const PageKey& key : stale) {
        auto it = m_sessions.find(key);
        std::unique_ptr<Session> session = std::move(it->second);
        m_sessionPages.remove(session->senderID);
        m_sessions.erase(it);
        sendDidClose(key, session->senderID);
        abandon(*session);
        const auto page = m_pages.constFind(key);
        if (page != m_pages.cend() && !page->claimedElsewhere)
            attach(key);
    }
    attachUnclaimedPages();
}

void ConnectionWorker::attachUnclaimedPages() {
    std::vector<PageKey> waiting;
    for (const InspectorPage& page : std::as_const(m_pages))
        if (!page.claimedElsewhere && !m_sessions.contains(page.key))
            waiting.push_back(page.key);
    for (const PageKey& key : waiting)
        attach(key);
}

void ConnectionWorker::releaseSessions(bool endRequests) {
    for (const auto& [key, session] : m_sessions) {
        m_sessionPages.remove(session->senderID);
        sendDidClose(key, session->senderID);
        if (endRequests)
            abandon(*session);
    }
    m_sessions.clear();
    m_sessionPages.clear();
}

void ConnectionWorker::abandon(Session& session) {
    if (session.pending.empty())
        return;
    std::vector<ResponseHandler> handlers;
    for (auto& [id, pending] : session.pending)
        if (pending.endsWithSession && pending.handler)
            handlers.push_back(std::move(pending.handler));
    session.pending.clear();
    if (handlers.empty())
        return;
    // On the next turn of the queue, so that no handler runs in the middle of changing sessions.
    // A connection that has closed by then answers nothing.
    QMetaObject::invokeMethod(
        this,
        [this, handlers = std::move(handlers)] {
            if (m_tornDown)
                return;
            simdjson::dom::parser parser;
            const auto answer = errorAnswer(parser, kNotAttached);
            if (!answer)
                return;
            for (const ResponseHandler& handler : handlers)
                handler(*answer);
        },
        Qt::QueuedConnection);
}

void ConnectionWorker::setCapturing(bool on) {
    m_capturing = on;
    if (on)
        attachUnclaimedPages();
    else
        releaseSessions();
}

void ConnectionWorker::stop() {
    if (m_resync) {
        m_resync->stop();
        delete m_resync;
        m_resync = nullptr;
    }
    // The owner is ending the link: requests still out are dropped, not answered.
    releaseSessions(false);
    if (m_socket && m_socket->isLive())
        m_socket->close();
}

void ConnectionWorker::teardown() {
    m_tornDown = true;
    if (m_resync) {
        m_resync->stop();
        delete m_resync;
        m_resync = nullptr;
    }
    m_sessions.clear();
    m_sessionPages.clear();
    m_pages.clear();
    m_apps.clear();
    m_unresponsive.clear();
    m_queued.clear();
    m_partials.clear();
    m_partialBytes = 0;
    publishApps();
    publish();
    flush();
    if (!m_detached && m_owner->onClose)
        m_owner->onClose();
}

void ConnectionWorker::detach() {
    m_detached = true;
    m_tornDown = true;
    if (m_resync) {
        m_resync->stop();
        delete m_resync;
        m_resync = nullptr;
    }
    if (m_socket && m_socket->isLive())
        m_socket->close();
    m_outbox.clear();
}

// ---- Delivery to the owner's thread ----------------------------------------------------------

void ConnectionWorker::post(Event event) {
    if (m_detached)
        return;
    if (std::holds_alternative<ConsoleEntry>(event))
        ++m_outboxEntries;
    m_outbox.push_back(std::move(event));
    if (!m_flushScheduled) {
        m_flushScheduled = true;
        QMetaObject::invokeMethod(this, &ConnectionWorker::flush, Qt::QueuedConnection);
    }
}

void ConnectionWorker::flush() {
    m_flushScheduled = false;
    if (m_outbox.empty() || m_detached)
        return;
    Batch batch = std::move(m_outbox);
    m_outbox = {};
    const int entries = m_outboxEntries;
    m_outboxEntries = 0;
    m_inbox->entriesPosted(entries);
    // The batch waits with the owner under its lock; the posted call carries nothing, so every
    // event is made here and consumed and freed on the owner's thread.
    if (m_owner->queueDelivery(std::move(batch)))
        emit deliveriesPending();
}
