// The hub's entry store: appends with counting, device-scope queries, and memory per entry.
#include "ProcFiles.h"
#include "console/ConsoleHub.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

ConsoleEntry entry(const PageKey& page, const QString& text, qint64 at) {
    ConsoleEntry e;
    e.page = page;
    e.level = (at % 10 == 0) ? ConsoleLevel::warning : ConsoleLevel::log;
    e.source = QStringLiteral("console-api");
    e.text = text;
    e.url = QStringLiteral("https://shop.example.com/static/js/app.js");
    e.line = 42;
    e.receivedAt = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000 + at, Qt::UTC);
    return e;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString device = QStringLiteral("BENCH-DEVICE");

    // Appends, counted as unseen: 20 pages, round robin, past the history limit.
    {
        ConsoleHub hub(ConsoleHub::Discovery{});
        const int pages = 20, total = 400'000;
        std::vector<ConsoleEntry> prepared;
        prepared.reserve(total);
        for (int i = 0; i < total; ++i)
            prepared.push_back(
                entry(PageKey{device, QStringLiteral("PID:1"), i % pages}, QStringLiteral("message"), i));
        const auto start = Clock::now();
        for (ConsoleEntry& e : prepared)
            hub.append(std::move(e));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("hub_appends_per_second: %.0f entries/s\n", total / seconds);

        // The device scope over 20 full pages.
        const int calls = 20;
        qsizetype size = 0;
        const auto queryStart = Clock::now();
        for (int i = 0; i < calls; ++i)
            size += hub.entries(ConsoleScope::device(device)).size();
        const double ms =
            std::chrono::duration<double, std::milli>(Clock::now() - queryStart).count() / calls;
        std::printf("scope_query_ms: %.2f ms (%lld entries)\n", ms, static_cast<long long>(size / calls));
    }

    // Memory: 50 pages × 2000 entries of 200-byte texts.
    {
        const double before = statusMb(QStringLiteral("self"), "VmRSS:");
        ConsoleHub hub(ConsoleHub::Discovery{});
        const int pages = 50, perPage = 2000;
        QString text;
        for (int i = 0; i < 200; ++i)
            text += QChar(u'a' + i % 26);
        for (int i = 0; i < pages * perPage; ++i) {
            QString own = text;
            own[0] = QChar(u'A' + i % 26); // every entry owns its text, as real ones do
            hub.append(entry(PageKey{device, QStringLiteral("PID:1"), i % pages}, own, i));
        }
        const double used = statusMb(QStringLiteral("self"), "VmRSS:") - before;
        const double raw = double(pages) * perPage * 200 / (1024.0 * 1024.0);
        std::printf("entries_resident_mb: %.1f MB (raw text %.1f MB)\n", used, raw);
        std::printf("entries_memory_ratio: %.2f x\n", used / raw);
    }
    return 0;
}
