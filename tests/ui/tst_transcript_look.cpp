// How the transcript looks in a real engine, in the colour scheme named by TAVOLIN_TRANSCRIPT_SCHEME
// ("light", the default, or "dark"). Leaves a screenshot, transcript-<scheme>.png, next to the test.
#include "TranscriptHarness.h"

#include <QApplication>
#include <QImage>
#include <QTest>
#include <QWebEngineView>
#include <memory>

namespace {

QString scheme() {
    return qEnvironmentVariable("TAVOLIN_TRANSCRIPT_SCHEME", QStringLiteral("light"));
}

bool dark() {
    return scheme() == QStringLiteral("dark");
}

QJsonArray sampleEntries() {
    const QJsonArray frames{QJsonObject{{"f", "loadCart"}, {"u", "cart.js"}, {"l", 88}},
                            QJsonObject{{"f", "onClick"}, {"u", "app.js"}, {"l", 214}},
                            QJsonObject{{"f", "dispatch"}, {"u", "vendor.js"}, {"l", 1031}}};
    return {
        entry("1", "App booted in 412 ms",
              {{"time", "09:41:02"}, {"location", "app.js:12"}, {"page", "Shop"}}),
        entry("2", "Service worker registered", {{"time", "09:41:02"}, {"level", "info"}, {"page", "Shop"}}),
        entry("3", "render pass",
              {{"time", "09:41:03"}, {"level", "debug"}, {"repeat", 4}, {"location", "view.js:40"}}),
        entry("4", "Slow network: 2.3 s for /api/cart",
              {{"time", "09:41:04"}, {"level", "warning"}, {"location", "net.js:77"}, {"page", "Shop"}}),
        entry("5", "TypeError: undefined is not an object (evaluating 'cart.items.length')",
              {{"time", "09:41:05"},
               {"level", "error"},
               {"location", "https://shop.example.com/static/js/chunks/cart.4f9a1c2e.bundle.min.js:88"},
               {"frames", frames},
               {"page", "Shop"}}),
        entry("6", "user {id: 7, name: \"Ada\"} Array(3)",
              {{"time", "09:41:06"},
               {"location", "user.js:19"},
               {"objects", QJsonArray{QJsonObject{{"id", "u"}, {"label", "Object"}},
                                      QJsonObject{{"id", "a"}, {"label", "Array(3)"}}}}}),
        entry("7", "document.title", {{"time", "09:41:09"}, {"kind", "input"}}),
        entry("8", "\"Shop — Cart\"", {{"time", "09:41:09"}, {"kind", "result"}}),
        entry("9", "({a: 1}).b.c", {{"time", "09:41:12"}, {"kind", "input"}}),
        entry("10", "TypeError: undefined is not an object (evaluating '({a: 1}).b.c')",
              {{"time", "09:41:12"}, {"kind", "result"}, {"level", "error"}}),
        entry("11", "A long message that wraps: " + QString("lorem ipsum dolor sit amet ").repeated(8),
              {{"time", "09:41:15"}, {"location", "long.js:1"}}),
    };
}

} // namespace

class TstTranscriptLook : public QObject {
    Q_OBJECT

    std::unique_ptr<TranscriptHarness> h;

private slots:
    void initTestCase() {
        h = std::make_unique<TranscriptHarness>(820, 560);
        QVERIFY(h->load());
        h->call("append", QJsonArray{sampleEntries()});
        h->call("prompt", QJsonArray{QJsonObject{{"enabled", true}, {"label", "Run in Shop"}}});
    }
    void cleanupTestCase() { h.reset(); }

    void coloursFollowTheScheme() {
        auto style = [&](const QString& selector, const QString& property) {
            return h
                ->js(QStringLiteral("getComputedStyle(document.querySelector('%1'))['%2']")
                         .arg(selector, property))
                .toString();
        };
        if (dark()) {
            QCOMPARE(style("body", "backgroundColor"), QString("rgb(30, 30, 30)"));
            QCOMPARE(style("body", "color"), QString("rgb(232, 232, 234)"));
            QCOMPARE(style(".lvl-error .text", "color"), QString("rgb(255, 105, 97)"));
            QCOMPARE(style(".row.lvl-error", "backgroundColor"), QString("rgba(255, 105, 97, 0.08)"));
            QCOMPARE(style(".kind-result.lvl-error", "backgroundColor"), QString("rgba(95, 212, 208, 0.08)"));
        } else {
            QCOMPARE(style("body", "backgroundColor"), QString("rgb(255, 255, 255)"));
            QCOMPARE(style("body", "color"), QString("rgb(29, 29, 31)"));
            QCOMPARE(style(".lvl-error .text", "color"), QString("rgb(215, 0, 21)"));
            QCOMPARE(style(".row.lvl-error", "backgroundColor"), QString("rgba(215, 0, 21, 0.08)"));
            QCOMPARE(style(".kind-result.lvl-error", "backgroundColor"), QString("rgba(0, 148, 153, 0.08)"));
        }
        // A result of level error keeps the error colour for its text under the result's tint.
        QCOMPARE(style(".kind-result.lvl-error .text", "color"), style(".lvl-error .text", "color"));
    }

    void layoutKeepsColumnsAndThePrompt() {
        const QJsonObject g = h->js(R"((() => {
            const rect = (e) => e.getBoundingClientRect();
            const rows = [...document.querySelectorAll('.row')];
            const texts = rows.map((r) => rect(r.querySelector('.text')).left);
            const loc = document.querySelector('[data-entry="5"] .loc');
            const row5 = rect(document.querySelector('[data-entry="5"]'));
            return {
                textLefts: [...new Set(texts.map(Math.round))].length,
                timeWidth: rect(document.querySelector('.time')).width,
                locRightGap: row5.right - rect(loc).right,
                locCut: loc.scrollWidth > loc.clientWidth,
                locShare: rect(loc).width / row5.width,
                promptBottom: rect(document.getElementById('prompt')).bottom,
                logBottom: rect(document.getElementById('log')).bottom,
                promptTop: rect(document.getElementById('prompt')).top,
                height: innerHeight,
                bodyScrolls: document.scrollingElement.scrollHeight > innerHeight,
            };
        })())")
                                  .toJsonObject();
        QCOMPARE(g.value("textLefts").toInt(), 1); // every message starts in the same column
        QCOMPARE(g.value("timeWidth").toDouble(), 54.0);
        QCOMPARE(qRound(g.value("locRightGap").toDouble()), 10);
        QVERIFY(g.value("locCut").toBool());
        QVERIFY(g.value("locShare").toDouble() <= 0.45);
        QCOMPARE(g.value("promptBottom").toDouble(), g.value("height").toDouble());
        QCOMPARE(g.value("logBottom").toDouble(), g.value("promptTop").toDouble());
        QVERIFY(!g.value("bodyScrolls").toBool());
    }

    // Opens the stack, one object and the completion list, then saves the picture.
    void screenshot() {
        h->js("document.querySelector('[data-entry=\"5\"] .frames-toggle').click()");
        h->js("document.querySelector('[data-entry=\"6\"]').click()");
        h->js("document.querySelector('.head').click()");
        QVERIFY(h->waitForMessages("expand"));
        h->call(
            "properties",
            QJsonArray{
                "6", "u",
                QJsonArray{QJsonObject{{"name", "id"}, {"value", "7"}, {"object", QJsonValue::Null}},
                           QJsonObject{{"name", "name"}, {"value", "\"Ada\""}, {"object", QJsonValue::Null}},
                           QJsonObject{{"name", "roles"}, {"value", "Array(2)"}, {"object", "r"}}}});
        h->js("document.querySelector('.node.expandable').click()");
        QVERIFY(h->waitForMessages("expand", 2));
        h->call("properties", QJsonArray{"6", "r",
                                         QJsonArray{QJsonObject{{"name", "0"}, {"value", "\"admin\""}},
                                                    QJsonObject{{"name", "1"}, {"value", "\"editor\""}},
                                                    QJsonObject{{"name", "length"}, {"value", "2"}}}});
        h->js("document.getElementById('entry').focus()");
        QVERIFY(h->typeText("document.bo"));
        QVERIFY(h->waitForMessages("complete"));
        h->call("completions",
                QJsonArray{h->host().messages("complete").last().value("token"),
                           QJsonArray{"body", "bgColor", "bind", "bodyUsed", "border", "_bound"}});
        h->call("follow", QJsonArray{true});
        QTest::qWait(300);

        const QImage picture = h->view().grab().toImage();
        QVERIFY(!picture.isNull());
        const QString path = QCoreApplication::applicationDirPath() + "/transcript-" + scheme() + ".png";
        QVERIFY(picture.save(path));
        qInfo("screenshot: %s", qPrintable(path));
        // The picture is the page, not an empty surface: the background colour fills its corner.
        QCOMPARE(picture.pixelColor(2, 2).name(), QString(dark() ? "#1e1e1e" : "#ffffff"));
    }
};

int main(int argc, char** argv) {
    TranscriptHarness::prepareEnvironment(dark() ? QByteArray("--force-dark-mode") : QByteArray());
    QApplication app(argc, argv);
    TstTranscriptLook test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_transcript_look.moc"
