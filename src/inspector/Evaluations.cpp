#include "inspector/Evaluations.h"

#include "inspector/ConsoleFormatting.h"
#include "inspector/PageSessions.h"
#include "inspector/SessionJson.h"

#include <QDateTime>
#include <QTimer>

namespace {

const QString kEvaluationLabel = QStringLiteral("the expression you ran");

// The object id of an evaluation's value when that value is a promise (WebKit names it by class;
// a "promise" subtype is taken as well); nothing for anything else, a thrown value included.
std::optional<QString> promiseID(simdjson::dom::element answer) {
    simdjson::dom::object value;
    if (answer["result"]["result"].get_object().get(value) != simdjson::SUCCESS)
        return std::nullopt;
    if (bool thrown = false;
        answer["result"]["wasThrown"].get_bool().get(thrown) == simdjson::SUCCESS && thrown)
        return std::nullopt;
    const auto className = SessionJson::string(value, "className");
    const auto subtype = SessionJson::string(value, "subtype");
    if (!(className && *className == "Promise") && !(subtype && *subtype == "promise"))
        return std::nullopt;
    const auto id = SessionJson::string(value, "objectId");
    return id ? std::optional(SessionJson::text(*id)) : std::nullopt;
}

} // namespace

Evaluations::Evaluations(QObject& context, PageSessions& sessions, const InspectorTiming& timing, Post post)
    : m_context(context), m_sessions(sessions), m_timing(timing), m_post(std::move(post)) {}

void Evaluations::evaluate(const QString& expression, const PageKey& key, const QUuid& evaluation,
                           bool awaitPromise) {
    const Queued queued{expression, evaluation, m_nextSerial++, awaitPromise};
    PageSession* session = m_sessions.find(key);
    if (session && session->enabledTarget) {
        run(queued, key, *session);
        return;
    }
    // Waits for a fresh session on the page, for a while.
    m_queued[key].append(queued);
    m_sessions.reattach(key);
    QTimer::singleShot(m_timing.queuedExpiry, &m_context, [this, key, serial = queued.serial, evaluation] {
        auto it = m_queued.find(key);
        if (it == m_queued.end() ||
            !it->removeIf([serial](const Queued& waiting) { return waiting.serial == serial; }))
            return;
        if (it->isEmpty())
            m_queued.erase(it);
        simdjson::dom::parser parser;
        if (const auto answer = SessionJson::error(parser, PageSessions::kNotAttached))
            deliver(*answer, key, evaluation);
    });
}

void Evaluations::runQueued(const PageKey& key) {
    const QList<Queued> waiting = m_queued.take(key);
    if (waiting.isEmpty())
        return;
    if (PageSession* session = m_sessions.find(key))
        for (const Queued& queued : waiting)
            run(queued, key, *session);
}

void Evaluations::run(const Queued& queued, const PageKey& key, PageSession& session) {
    m_sessions.request(
        session, key, QStringLiteral("Runtime.evaluate"),
        QJsonObject{{"expression", queued.expression},
                    {"objectGroup", QStringLiteral("console")},
                    {"includeCommandLineAPI", true},
                    {"generatePreview", true},
                    {"emulateUserGesture", true}},
        [this, key, evaluation = queued.evaluation,
         awaitPromise = queued.awaitPromise](simdjson::dom::element answer) {
            if (awaitPromise)
                if (const std::optional<QString> promise = promiseID(answer))
                    return awaitSettled(*promise, key, evaluation);
            deliver(answer, key, evaluation);
        },
        kEvaluationLabel, true);
}

void Evaluations::awaitSettled(const QString& promise, const PageKey& key, const QUuid& evaluation) {
    PageSession* session = m_sessions.find(key);
    if (!session) {
        simdjson::dom::parser parser;
        if (const auto answer = SessionJson::error(parser, PageSessions::kNotAttached))
            deliver(*answer, key, evaluation);
        return;
    }
    // Answers in the shape of an evaluation: the settled value, or the rejection with wasThrown.
    m_sessions.request(
        *session, key, QStringLiteral("Runtime.awaitPromise"),
        QJsonObject{{"promiseObjectId", promise}, {"returnByValue", false}, {"generatePreview", true}},
        [this, key, evaluation](simdjson::dom::element answer) { deliver(answer, key, evaluation); },
        kEvaluationLabel, true);
}

void Evaluations::deliver(simdjson::dom::element answer, const PageKey& key, const QUuid& evaluation) {
    ConsoleEntry entry;
    entry.page = key;
    entry.answers = evaluation;
    entry.source = QStringLiteral("console-input");
    entry.receivedAt = QDateTime::currentDateTimeUtc();
    entry.kind = EntryKind::result;
    simdjson::dom::object error;
    if (answer["error"].get_object().get(error) == simdjson::SUCCESS) {
        entry.level = ConsoleLevel::error;
        const auto message = SessionJson::string(error, "message");
        entry.text = message ? SessionJson::text(*message) : QStringLiteral("evaluation failed");
    } else {
        simdjson::dom::object value = SessionJson::emptyObject();
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
    m_post(std::move(entry));
}
