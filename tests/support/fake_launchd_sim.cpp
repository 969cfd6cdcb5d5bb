// A stand-in for a simulator's launchd_sim. Started as `launchd_sim <socket>` with the scenario in
// FAKE_SIM_SCENARIO, it serves a fake simulator on <socket>, whose applications, pages and logged
// messages the JSON describes:
//   {"apps": [{"id": "PID:1", "name": "Safari", "iconWidth": 32,
//              "pages": [{"id": 1, "title": "Shop", "url": "https://...", "heldBy": "OTHER",
//                         "messages": [{"level": "log", "text": "hi", "url": "...", "line": 3}],
//                         "evaluations": {"6*7": {"type": "number", "value": 42, "description": "42"}},
//                         "snapshot": [800, 600], "targets": "atOnce",
//                         "flood": {"level": "log", "text": "message {index}", ...}}]}]}
// A page with "flood" logs that message over and over, "{index}" in it numbered, to every session
// that enables its console, each from a thread of its own as fast as its client reads (for the
// end-to-end benchmark). It runs until killed.
#include "support/FakeSimulator.h"

#include <QBuffer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSize>

#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

// Logs `message` into the session that sent `command` until its client is gone.
void flood(FakeSimulator& simulator, const FakeInspectorDaemon::Command& command,
           const QJsonObject& message) {
    // After the answer to Console.enable: live messages, not a replay.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    QString target;
    for (const auto& session : simulator.sessions(command.appID, command.pageID))
        if (session.sender == command.sender)
            target = session.target;
    const QByteArray inner = FakeInspectorCatalog::json(
        {{"method", "Console.messageAdded"}, {"params", QJsonObject{{"message", message}}}});
    constexpr int kPerBatch = 32;
    std::vector<QByteArray> batches(64);
    for (size_t b = 0; b < batches.size(); ++b)
        for (int i = 0; i < kPerBatch; ++i) {
            QByteArray data = inner;
            data.replace("{index}", QByteArray::number(qsizetype(b) * kPerBatch + i));
            if (!target.isEmpty())
                data = FakeInspectorCatalog::json(
                    {{"method", "Target.dispatchMessageFromTarget"},
                     {"params", QJsonObject{{"targetId", target}, {"message", QString::fromUtf8(data)}}}});
            batches[b] += FakeInspectorService::encode(QStringLiteral("_rpc_applicationSentData:"),
                                                       {{"WIRApplicationIdentifierKey", command.appID},
                                                        {"WIRDestinationKey", command.sender},
                                                        {"WIRMessageDataKey", data}});
        }
    for (size_t n = 0; simulator.service().sendRaw(batches[n % batches.size()], command.peer); ++n) {
    }
}

QByteArray png(QSize size, Qt::GlobalColor colour) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2)
        return 2;
    const QJsonObject scenario = QJsonDocument::fromJson(qgetenv("FAKE_SIM_SCENARIO")).object();
    FakeSimulator simulator(QString::fromLocal8Bit(argv[1]));
    // Pages answer the expressions their scenario lists and take snapshots of the given size.
    QHash<qint64, QJsonObject> evaluations;
    QHash<qint64, QSize> snapshots;
    QHash<qint64, QJsonObject> previews; // by object id
    QHash<qint64, QJsonObject> floods;
    for (const QJsonValue& appValue : scenario.value("apps").toArray()) {
        const QJsonObject app = appValue.toObject();
        FakeInspectorDaemon::App record{app.value("id").toString(), {}, {}, {}};
        if (app.contains("name"))
            record.name = app.value("name").toString();
        if (app.contains("iconWidth"))
            record.icon =
                png(QSize(app.value("iconWidth").toInt(), app.value("iconWidth").toInt()), Qt::blue);
        simulator.addApp(record);
        for (const QJsonValue& pageValue : app.value("pages").toArray()) {
            const QJsonObject page = pageValue.toObject();
            FakeInspectorDaemon::Page record = FakeInspectorDaemon::page(
                page.value("id").toInteger(), page.value("title").toString(), page.value("url").toString());
            if (page.contains("heldBy"))
                record.heldBy = page.value("heldBy").toString();
            if (page.value("targets").toString() == QLatin1String("atOnce"))
                record.targets = FakeInspectorDaemon::Targets::atOnce;
            if (page.contains("flood"))
                floods.insert(record.id, page.value("flood").toObject());
            for (const QJsonValue& message : page.value("messages").toArray()) {
                QJsonObject logged = message.toObject();
                if (!logged.contains("source"))
                    logged.insert("source", "console-api");
                record.backlog.append(logged);
            }
            simulator.addPage(app.value("id").toString(), record);
            evaluations.insert(record.id, page.value("evaluations").toObject());
            previews.insert(record.id, page.value("previews").toObject());
            const QJsonArray size = page.value("snapshot").toArray();
            if (size.size() == 2)
                snapshots.insert(record.id, QSize(size[0].toInt(), size[1].toInt()));
        }
    }
    simulator.setAnswerer([&simulator, evaluations, snapshots, previews,
                           floods](const FakeInspectorDaemon::Command& command)
                              -> std::optional<FakeInspectorDaemon::Answer> {
        using Answer = FakeInspectorDaemon::Answer;
        if (command.method == QLatin1String("Console.enable") && floods.contains(command.pageID))
            std::thread(flood, std::ref(simulator), command, floods.value(command.pageID)).detach();
        if (command.method == QLatin1String("Runtime.getPreview")) {
            const QJsonValue preview =
                previews.value(command.pageID).value(command.params["objectId"].toString());
            return preview.isObject() ? std::optional(Answer::result({{"preview", preview}})) : std::nullopt;
        }
        const QSize size = snapshots.value(command.pageID);
        if (command.method == QLatin1String("Runtime.evaluate")) {
            const QString expression = command.params.value("expression").toString();
            QJsonValue result = evaluations.value(command.pageID).value(expression);
            // The page's size, asked for before a snapshot.
            if (expression.startsWith(QLatin1String("JSON.stringify(")) && size.isValid())
                result =
                    QJsonObject{{"type", "string"},
                                {"value", QStringLiteral("[%1,%2]").arg(size.width()).arg(size.height())}};
            return result.isObject() ? std::optional(Answer::result({{"result", result}})) : std::nullopt;
        }
        if (command.method == QLatin1String("Page.snapshotRect") && size.isValid())
            return Answer::result(
                QJsonObject{{"dataURL", QStringLiteral("data:image/png;base64,") +
                                            QString::fromLatin1(png(size, Qt::darkGreen).toBase64())}});
        return std::nullopt;
    });
    if (!simulator.start())
        return 1;
    std::puts("serving");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
