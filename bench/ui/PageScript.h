#pragma once

#include <QEventLoop>
#include <QTimer>
#include <QVariant>
#include <QWebEnginePage>

// Runs a script in a page and waits (at most 30 s) for its result, for the benchmarks.
inline QVariant runInPage(QWebEnginePage* page, const QString& script) {
    QVariant result;
    bool done = false;
    QEventLoop loop;
    page->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        done = true;
        loop.quit();
    });
    if (!done) {
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return result;
}
