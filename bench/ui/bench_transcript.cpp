// Time the transcript page takes to take in entries, measured inside the page in a real engine:
//   transcript_append_2000_ms  one SC.append of 2000 typical entries into an empty transcript (median of 5)
//   transcript_batch20_ms      one SC.append of 20 entries into a full transcript (mean of 100 batches)
//   transcript_batch20_with_layout_ms  the same, forcing the layout the next frame would do
// Both include the layout that keeping the newest row in view forces.
#include "TranscriptDocument.h"

#include "PageScript.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// A mix like a busy page's: mostly logs, some warnings and errors with stacks, a few objects.
QJsonObject typicalEntry(int n) {
    static const char* levels[] = {"log", "log",     "log", "info",  "debug",
                                   "log", "warning", "log", "error", "log"};
    const QString level = QString::fromLatin1(levels[n % 10]);
    QJsonObject e{{"id", QStringLiteral("00000000-0000-4000-8000-%1").arg(n, 12, 10, QChar('0'))},
                  {"time", "12:34:56"},
                  {"level", level},
                  {"kind", "message"},
                  {"text", QStringLiteral("[cart] request %1 finished with status 200 after %2 ms, items: %3")
                               .arg(n)
                               .arg(n % 900)
                               .arg(n % 17)},
                  {"location",
                   n % 3 ? QStringLiteral("https://shop.example.com/js/app.js:%1").arg(n % 400) : QString()},
                  {"repeat", n % 25 == 0 ? 3 : 1},
                  {"page", "Shop"},
                  {"frames", QJsonArray()},
                  {"objects", QJsonArray()}};
    if (level == "error" || level == "warning")
        e["frames"] = QJsonArray{QJsonObject{{"f", "load"}, {"u", "app.js"}, {"l", 12}},
                                 QJsonObject{{"f", "run"}, {"u", "lib.js"}, {"l", 3}},
                                 QJsonObject{{"f", "main"}, {"u", "index.html"}, {"l", 40}}};
    if (n % 20 == 5)
        e["objects"] = QJsonArray{QJsonObject{
            {"id", QStringLiteral("{\"injectedScriptId\":1,\"id\":%1}").arg(n)}, {"label", "Object"}}};
    return e;
}

QString json(const QJsonArray& array) {
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QJsonArray entries(int from, int count) {
    QJsonArray list;
    for (int i = from; i < from + count; ++i)
        list.append(typicalEntry(i));
    return list;
}

// Runs SC.append with the entries stored in the page and returns the milliseconds it took there.
// With `layout`, the time also includes laying the new rows out (which the page otherwise leaves
// to the next frame, once for all deliveries of that frame).
double timedAppend(QWebEnginePage* page, const QJsonArray& list, bool layout = false) {
    runInPage(page, "window.benchEntries = " + json(list));
    return runInPage(page,
                     QStringLiteral("(() => { const t = performance.now(); SC.append(window.benchEntries); %1"
                                    "return performance.now() - t; })()")
                         .arg(layout ? "document.getElementById('log').scrollHeight; " : ""))
        .toDouble();
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (!flags.contains("--no-sandbox"))
        flags += " --no-sandbox";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);

    QObject host; // the page's messages are not needed here
    QWebEngineView view;
    view.resize(1000, 700);
    bool loaded = false;
    QEventLoop loading;
    QObject::connect(view.page(), &QWebEnginePage::loadFinished, &loading, [&](bool ok) {
        loaded = ok;
        loading.quit();
    });
    TranscriptDocument::load(view.page(), &host);
    view.show();
    QTimer::singleShot(30000, &loading, &QEventLoop::quit);
    loading.exec();
    if (!loaded) {
        std::fprintf(stderr, "the transcript page did not load\n");
        return 1;
    }
    QWebEnginePage* page = view.page();

    std::vector<double> full;
    for (int round = 0; round < 5; ++round) {
        runInPage(page, "SC.reset([])");
        full.push_back(timedAppend(page, entries(round * 2000, 2000)));
    }
    std::sort(full.begin(), full.end());

    runInPage(page, "SC.reset([])");
    timedAppend(page, entries(100000, 2200));
    double total = 0, withLayout = 0;
    const int batches = 100;
    for (int i = 0; i < batches; ++i)
        total += timedAppend(page, entries(200000 + i * 20, 20));
    for (int i = 0; i < batches; ++i)
        withLayout += timedAppend(page, entries(300000 + i * 20, 20), true);

    std::printf("transcript_append_2000_ms: %.1f ms\n", full[full.size() / 2]);
    std::printf("transcript_batch20_ms: %.2f ms\n", total / batches);
    std::printf("transcript_batch20_with_layout_ms: %.2f ms\n", withLayout / batches);
    return 0;
}
