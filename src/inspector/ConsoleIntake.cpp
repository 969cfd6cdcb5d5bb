#include "inspector/ConsoleIntake.h"

#include "base/Logging.h"
#include "base/Preferences.h"
#include "inspector/ConsoleFormatting.h"
#include "inspector/PageSessions.h"
#include "inspector/ProtocolFields.h"
#include "inspector/SessionJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <algorithm>

namespace {

using simdjson::dom::element;

template <typename Value> QJsonObject toJson(Value value) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(simdjson::minify(value))).object();
}

// result.key (or result.key.inner) of an answer; nothing for an error or another shape.
std::optional<element> resultField(element answer, const char* key, const char* inner = nullptr) {
    element value;
    if (answer["result"][key].get(value) != simdjson::SUCCESS)
        return std::nullopt;
    element nested;
    if (inner && value[inner].get(nested) != simdjson::SUCCESS)
        return std::nullopt;
    return inner ? nested : value;
}

} // namespace

ConsoleIntake::ConsoleIntake(QObject& context, PageSessions& sessions, const InspectorTiming& timing,
                             Post post)
    : m_context(context), m_sessions(sessions), m_timing(timing), m_post(std::move(post)) {}

void ConsoleIntake::message(simdjson::dom::object message, const PageKey& key, PageSession& session) {
    ConsoleFormatting::MissingPreviews missing;
    ConsoleEntry entry = ConsoleFormatting::entry(message, key, &missing);
    if (session.consoleEnable)
        entry.replay = session.replay;
    if (missing.empty()) {
        publish(std::move(entry), session);
        return;
    }
    PageSession::Held held{.ticket = session.nextTicket++,
                           .event = std::move(entry),
                           .message = toJson(message),
                           .outstanding = int(missing.size())};
    const quint64 serial = session.serial;
    for (const auto& [at, objectID] : missing) {
        auto handler = [this, key, serial, ticket = held.ticket, index = at](element answer) {
            const std::optional<element> preview = resultField(answer, "preview");
            settle(key, serial, ticket, [&](PageSession::Held& held) {
                if (!preview || !preview->is_object())
                    return;
                QJsonArray parameters = held.message.value("parameters").toArray();
                QJsonObject parameter = parameters.at(index).toObject();
                parameter.insert("preview", toJson(*preview));
                parameters.replace(index, parameter);
                held.message.insert("parameters", parameters);
                held.answered = true;
            });
        };
        held.requests.push_back(m_sessions.request(session, key, QStringLiteral("Runtime.getPreview"),
                                                   QJsonObject{{"objectId", objectID}}, std::move(handler),
                                                   QStringLiteral("an object's preview"), false));
    }
    hold(key, session, std::move(held));
}

void ConsoleIntake::cleared(std::optional<std::string_view> reason, const PageKey& key,
                            PageSession& session) {
    ConnectionEvents::Cleared cleared{key, reason ? SessionJson::text(*reason) : QString()};
    if (cleared.reason != ConnectionEvents::Cleared::kNavigation || !Preferences::keepAcrossLoads()) {
        publish(std::move(cleared), session);
        return;
    }
    // The page's new address reaches the listing later than this: the page is asked for it.
    PageSession::Held held{.ticket = session.nextTicket++, .event = std::move(cleared), .outstanding = 1};
    auto handler = [this, key, serial = session.serial, ticket = held.ticket](element answer) {
        const std::optional<element> value = resultField(answer, "result", "value");
        std::string_view address;
        if (!value || value->get(address) != simdjson::SUCCESS)
            return settle(key, serial, ticket, {});
        settle(key, serial, ticket, [&](PageSession::Held& held) {
            std::get<ConnectionEvents::Cleared>(held.event).address = SessionJson::text(address);
        });
    };
    held.requests.push_back(m_sessions.request(session, key, QStringLiteral("Runtime.evaluate"),
                                               QJsonObject{{"expression", "location.href"},
                                                           {"returnByValue", true},
                                                           {"doNotPauseOnExceptionsAndMuteConsole", true}},
                                               std::move(handler), QStringLiteral("the page's address"),
                                               false));
    hold(key, session, std::move(held));
}

void ConsoleIntake::publish(ConnectionEvents::Event event, PageSession& session) {
    if (session.held.empty())
        m_post(std::move(event));
    else
        session.held.push_back(PageSession::Held{.ticket = session.nextTicket++, .event = std::move(event)});
}

void ConsoleIntake::hold(const PageKey& key, PageSession& session, PageSession::Held held) {
    QTimer::singleShot(
        m_timing.previewWait, &m_context,
        [this, key, serial = session.serial, ticket = held.ticket] { expire(key, serial, ticket); });
    session.held.push_back(std::move(held));
}

std::pair<PageSession*, PageSession::Held*> ConsoleIntake::waiting(const PageKey& key, quint64 serial,
                                                                   quint64 ticket) {
    PageSession* session = m_sessions.find(key);
    if (!session || session->serial != serial)
        return {};
    const auto held = std::ranges::find(session->held, ticket, &PageSession::Held::ticket);
    if (held == session->held.end() || held->outstanding == 0)
        return {};
    return {session, &*held};
}

void ConsoleIntake::settle(const PageKey& key, quint64 serial, quint64 ticket, const Apply& apply) {
    const auto [session, held] = waiting(key, serial, ticket);
    if (!held)
        return;
    if (apply)
        apply(*held);
    if (--held->outstanding == 0)
        drain(*session);
}

// Past the bound the page's silence is no longer waited for; its late answers find nothing.
void ConsoleIntake::expire(const PageKey& key, quint64 serial, quint64 ticket) {
    const auto [session, held] = waiting(key, serial, ticket);
    if (!held)
        return;
    // Debug only: a page that ignores the question does so for every message of a replay.
    qCDebug(lcInspector) << held->outstanding << "previews did not come in time; publishing what is known";
    for (const qint64 id : held->requests)
        session->pending.erase(id);
    held->outstanding = 0;
    drain(*session);
}

void ConsoleIntake::drain(PageSession& session) {
    while (!session.held.empty() && session.held.front().outstanding == 0) {
        PageSession::Held held = std::move(session.held.front());
        session.held.pop_front();
        finish(held);
        m_post(std::move(held.event));
    }
}

void ConsoleIntake::release(PageSession& session) {
    for (PageSession::Held& held : session.held) {
        finish(held);
        m_post(std::move(held.event));
    }
    session.held.clear();
}

// A message with previews is formatted again, exactly as one that came with them.
void ConsoleIntake::finish(PageSession::Held& held) {
    ConsoleEntry* entry = std::get_if<ConsoleEntry>(&held.event);
    if (!entry || !held.answered)
        return;
    simdjson::dom::parser parser;
    simdjson::dom::object message;
    const simdjson::padded_string json(
        QJsonDocument(held.message).toJson(QJsonDocument::Compact).toStdString());
    if (parser.parse(json).get(message) != simdjson::SUCCESS)
        return;
    ConsoleEntry previewed = ConsoleFormatting::entry(message, entry->page);
    entry->text = std::move(previewed.text);
    entry->objects = std::move(previewed.objects);
}
