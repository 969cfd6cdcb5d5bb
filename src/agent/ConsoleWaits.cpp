#include "agent/ConsoleWaits.h"

#include "base/Logging.h"
#include "console/ConsoleHub.h"

#include <QPointer>
#include <QTimer>

#include <memory>

namespace {

// One wait: its object carries the hub connection and the timer, so deleting it ends both.
struct Wait {
    QPointer<ConsoleHub> hub;
    std::optional<PageKey> page;
    ConsoleFilter filter;
    qint64 seen = 0; // the newest sequence already looked at
    std::function<QString(const ConsoleEntry&)> line;
    ConsoleWaits::Reply reply;
    QObject* owner = nullptr;

    void answer(const QString& text) {
        if (ConsoleWaits::Reply once = std::exchange(reply, nullptr))
            once(text, false);
        owner->deleteLater();
    }

    void check() {
        if (!reply || !hub)
            return;
        QList<ConsoleScope> scopes;
        if (page)
            scopes.append(ConsoleScope::page(*page));
        else
            for (const InspectableDevice& device : hub->devices())
                scopes.append(ConsoleScope::device(device.udid));
        const ConsoleEntry* first = nullptr;
        QList<ConsoleEntry> found;
        for (const ConsoleScope& scope : std::as_const(scopes))
            found.append(hub->entriesAfter(scope, seen));
        seen = hub->lastSequence();
        // Typed input and results are left out: the expression that triggers a message would match.
        for (const ConsoleEntry& entry : std::as_const(found))
            if (entry.kind == EntryKind::message && filter.matches(entry) &&
                (!first || entry.sequence < first->sequence))
                first = &entry;
        if (first)
            answer(line(*first));
    }
};

} // namespace

void ConsoleWaits::wait(ConsoleHub& hub, std::optional<PageKey> page, ConsoleFilter filter,
                        std::chrono::milliseconds timeout, std::function<QString(const ConsoleEntry&)> line,
                        Reply reply) {
    auto* owner = new QObject(this);
    auto state = std::make_shared<Wait>(Wait{&hub, std::move(page), std::move(filter), hub.lastSequence(),
                                             std::move(line), std::move(reply), owner});
    connect(&hub, &ConsoleHub::entriesChanged, owner, [state] { state->check(); });
    const QString seconds = QString::number(double(timeout.count()) / 1000.0);
    QTimer::singleShot(timeout, owner, [state, seconds] {
        qCDebug(lcAgent) << "a wait for a console message ended without one";
        state->answer(QStringLiteral("No matching message within %1 s.").arg(seconds));
    });
}

qsizetype ConsoleWaits::count() const {
    return children().size();
}
