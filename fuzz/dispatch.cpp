// Page messages dispatched into a live connection state: a page with an open session and requests
// waiting for their answers, pieces being reassembled. The input is a list of page messages
// separated by NUL bytes; one beginning with 'p' is a piece of a message, with 'f' its final piece.
#include "inspector/PageSessions.h"
#include "inspector/PartialMessages.h"
#include "inspector/ServiceInventory.h"
#include "inspector/ServiceLink.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <string_view>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString app = QStringLiteral("PID:1"), connection = QStringLiteral("CONNECTION");
    QObject context;
    ServiceLink link(QStringLiteral("SIM"), connection);
    ServiceInventory inventory(QStringLiteral("SIM"), connection);
    // Timers that fire at the next turn of the event loop, so that none outlives the input.
    const InspectorTiming timing{std::chrono::milliseconds(0), {}, {}, {}, {}};
    PageSessions sessions(context, link, inventory, timing, [](ConnectionEvents::Event) {});
    PartialMessages partials(1 << 16);
    const QVariantMap page{{ServiceLink::kPageKey, 1}, {QStringLiteral("WIRTypeKey"), "WIRTypeWebPage"}};
    const PageKey key{QStringLiteral("SIM"), app, 1};
    inventory.applyListing(app, {{QStringLiteral("WIRListingKey"), QVariantMap{{"1", page}}}});
    sessions.attach(key);
    int answered = 0;
    for (const char* method : {"Runtime.evaluate", "Page.snapshotRect", "Runtime.getProperties"})
        sessions.request(
            QString::fromLatin1(method), {}, key, [&](simdjson::dom::element) { ++answered; },
            method[0] == 'P');

    const QVariantMap address{{ServiceLink::kApplicationKey, app}, {ServiceLink::kPageKey, 1}};
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const std::string_view message = rest.substr(0, rest.find('\0'));
        rest.remove_prefix(std::min(rest.size(), message.size() + 1));
        QVariantMap argument = address;
        const char kind = message.empty() ? 0 : message.front();
        const std::string_view body = kind == 'p' || kind == 'f' ? message.substr(1) : message;
        const QString dataKey = kind == 'p'   ? QStringLiteral("WIRPartialMessageKey")
                                : kind == 'f' ? QStringLiteral("WIRFinalMessageKey")
                                              : ServiceLink::kMessageDataKey;
        argument.insert(dataKey, QByteArray(body.data(), qsizetype(body.size())));
        if (const PartialMessages::Result piece = partials.take(argument); !piece.piece)
            sessions.receive(argument);
        else if (piece.complete)
            sessions.receive(*piece.complete);
    }
    sessions.clear();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
