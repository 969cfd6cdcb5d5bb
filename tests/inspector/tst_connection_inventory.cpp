// The inspector connection's applications and pages, its capture switch and its end, driven over a
// real unix socket against a fake simulator.
#include "ConnectionRig.h"

#include "wire/UnixTransport.h"

#include <QRegularExpression>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

namespace {

using Page = FakeInspectorDaemon::Page;

const QString kShop = ConnectionRig::kShop;
const QString kBlog = QStringLiteral("PID:99");
const QString kConnectionKey = QStringLiteral("WIRConnectionIdentifierKey");
const QString kApplicationKey = QStringLiteral("WIRApplicationIdentifierKey");
const QString kPageKey = QStringLiteral("WIRPageIdentifierKey");
const QString kSenderKey = QStringLiteral("WIRSenderKey");

const QRegularExpression
    kUpperUuid(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

Page titledPage(qint64 id, const QString& title, const QString& url) {
    Page page = webPage(id);
    page.title = title;
    page.url = url;
    return page;
}

QStringList appNames(const QList<InspectorApp>& apps) {
    QStringList names;
    for (const InspectorApp& app : apps)
        names.append(app.name);
    return names;
}

QList<qint64> pageIDs(const QList<InspectorPage>& pages) {
    QList<qint64> ids;
    for (const InspectorPage& page : pages)
        ids.append(page.key.pageID);
    return ids;
}

QSet<QString> closedSenders(const ConnectionRig& rig) {
    const QStringList senders = rig.closedSenders();
    return {senders.begin(), senders.end()};
}

QStringList listingRequests(ConnectionRig& rig) {
    QStringList apps;
    for (const auto& frame : rig.frames(QStringLiteral("_rpc_forwardGetListing:")))
        apps.append(frame.argument.value(kApplicationKey).toString());
    return apps;
}

} // namespace

class ConnectionInventoryTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void identifiesItselfThenPollsAndPublishesChangesOnly() {
        ConnectionRig rig;
        rig.sim().addApp({kShop, QStringLiteral("Shop"), QStringLiteral("com.example.shop"),
                          QByteArray("\x89PNG\r\n", 6)});
        rig.sim().addApp({kBlog, QStringLiteral("Blog"), std::nullopt, std::nullopt});
        rig.sim().addPage(kShop, webPage(1));
        rig.sim().addPage(kShop, webPage(2));
        QVERIFY(rig.start());
        const QString id = rig.connection().connectionID();
        QVERIFY(kUpperUuid.match(id).hasMatch());

        QTRY_COMPARE(rig.apps.isEmpty() ? 0 : rig.lastApps().size(), 2);
        const auto received = rig.service().received();
        QVERIFY(received.size() >= 2);
        QCOMPARE(received[0].selector, QStringLiteral("_rpc_reportIdentifier:"));
        QCOMPARE(received[1].selector, QStringLiteral("_rpc_getConnectedApplications:"));

        // Sorted by name; the icon, the key and the pid come through.
        const QList<InspectorApp> apps = rig.lastApps();
        QCOMPARE(appNames(apps), (QStringList{"Blog", "Shop"}));
        QCOMPARE(apps[1].iconData, std::optional<QByteArray>(QByteArray("\x89PNG\r\n", 6)));
        QCOMPARE(apps[1].pid(), std::optional<qint64>(4711));

        QTRY_COMPARE(rig.lastPages().size(), 2);
        const qsizetype appLists = rig.apps.size();
        const qsizetype pageLists = rig.pages.size();

        // Every report asks every application for its listing; the poll repeats both.
        QVERIFY(rig.waitForPolls(3));
        QTRY_VERIFY(listingRequests(rig).count(kShop) >= 4 && listingRequests(rig).count(kBlog) >= 4);
        // Every frame names this connection.
        for (const auto& frame : rig.service().received())
            QCOMPARE(frame.argument.value(kConnectionKey).toString(), id);
        QCOMPARE(rig.frames(QStringLiteral("_rpc_reportIdentifier:")).size(), size_t(1));

        // The same lists again publish nothing, and the pages keep their sessions.
        QCOMPARE(rig.apps.size(), appLists);
        QCOMPARE(rig.pages.size(), pageLists);
        QCOMPARE(rig.setupCount(kShop, 2), 1);
        QCOMPARE(rig.strayCallbacks(), 0);
    }

    void applicationsAreNamedRenamedAndDisconnected() {
        ConnectionRig rig;
        const QString notes = QStringLiteral("PID:1");
        const QString mail = QStringLiteral("PID:2");
        rig.sim().addApp({notes, std::nullopt, std::nullopt, std::nullopt});
        rig.sim().addPage(notes, webPage(1));
        QVERIFY(rig.start());

        // No name keys: named by its identifier.
        QTRY_COMPARE(appNames(rig.lastApps()), QStringList{notes});
        QVERIFY(rig.sim().waitForSession(notes, 1));
        QTRY_COMPARE(rig.lastPages().size(), 1);
        QCOMPARE(rig.lastPages()[0].appName, notes);

        // From here on the service only announces changes, so every listing request below is the
        // connection's answer to an announcement.
        rig.sim().setAnswersLists(false);
        QVERIFY(rig.waitForPolls(2));

        // The bundle identifier alone renames it, and the update asks for the listing.
        const qsizetype before = listingRequests(rig).count(notes);
        rig.sim().updateApp({notes, std::nullopt, QStringLiteral("com.example.notes"), std::nullopt});
        QTRY_COMPARE(appNames(rig.lastApps()), QStringList{"com.example.notes"});
        QTRY_COMPARE(listingRequests(rig).count(notes), before + 1);

        // An update without name keys keeps the last name and publishes nothing.
        const qsizetype published = rig.apps.size();
        rig.sim().updateApp({notes, std::nullopt, std::nullopt, std::nullopt});
        QTRY_COMPARE(listingRequests(rig).count(notes), before + 2);
        QVERIFY(rig.waitForPolls(1));
        QCOMPARE(rig.apps.size(), published);
        QCOMPARE(appNames(rig.lastApps()), QStringList{"com.example.notes"});

        // The name key wins over the bundle identifier.
        rig.sim().updateApp(
            {notes, QStringLiteral("Notes"), QStringLiteral("com.example.notes"), std::nullopt});
        QTRY_COMPARE(appNames(rig.lastApps()), QStringList{"Notes"});

        // A newly connected application is listed and asked for its pages.
        rig.sim().addApp({mail, QStringLiteral("Mail"), std::nullopt, std::nullopt}, true);
        QTRY_COMPARE(appNames(rig.lastApps()), (QStringList{"Mail", "Notes"}));
        QTRY_COMPARE(listingRequests(rig).count(mail), 1);
        rig.sim().addPage(mail, webPage(7));
        rig.sim().setAnswersLists(true);
        QTRY_COMPARE(rig.lastPages().size(), 2);
        QVERIFY(rig.sim().waitForSession(mail, 7));

        // A disconnected application takes its pages and sessions along; the service is not told.
        rig.sim().removeApp(notes, true);
        QTRY_COMPARE(appNames(rig.lastApps()), QStringList{"Mail"});
        QTRY_COMPARE(pageIDs(rig.lastPages()), QList<qint64>{7});
        QCOMPARE(rig.lastPages()[0].appName, QStringLiteral("Mail"));

        // An application missing from a full list is disconnected too.
        rig.sim().removeApp(mail, false);
        QTRY_VERIFY(rig.lastApps().isEmpty());
        QTRY_VERIFY(rig.lastPages().isEmpty());

        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(rig.closedSenders(), QStringList());
        QCOMPARE(rig.strayCallbacks(), 0);
    }

    void listingsAddChangeClaimAndDropPages() {
        ConnectionRig rig;
        rig.sim().addApp({kShop, QStringLiteral("Shop"), std::nullopt, std::nullopt});
        rig.sim().addApp({kBlog, QStringLiteral("Blog"), std::nullopt, std::nullopt});
        rig.sim().addPage(kShop, titledPage(1, QStringLiteral("Checkout"),
                                            QStringLiteral("https://shop.example:8443/a/b")));
        Page script =
            titledPage(2, QStringLiteral("worker.js"), QStringLiteral("https://shop.example/worker.js"));
        script.type = QStringLiteral("WIRTypeJavaScript");
        rig.sim().addPage(kShop, script);
        Page untyped = titledPage(3, QStringLiteral(""), QStringLiteral("file:///Users/dev/site/index.html"));
        untyped.type = std::nullopt;
        untyped.overrideName = QStringLiteral("Local");
        rig.sim().addPage(kShop, untyped);
        rig.sim().addPage(kBlog,
                          titledPage(5, QStringLiteral("Blog"), QStringLiteral("https://blog.example/")));
        QVERIFY(rig.start());

        // Pages of both applications, sorted by application name, then by short label; the script
        // entry is no page.
        QTRY_COMPARE(pageIDs(rig.lastPages()), (QList<qint64>{5, 3, 1}));
        const InspectorPage checkout = *rig.page(rig.key(kShop, 1));
        QCOMPARE(checkout.appName, QStringLiteral("Shop"));
        QCOMPARE(checkout.shortLabel(), QStringLiteral("shop.example:8443/a/b"));
        QCOMPARE(rig.page(rig.key(kShop, 3))->overrideName, QStringLiteral("Local"));

        // A session on every page, none on the script.
        const auto checkoutSession = rig.sim().waitForSession(kShop, 1);
        const auto localSession = rig.sim().waitForSession(kShop, 3);
        const auto blogSession = rig.sim().waitForSession(kBlog, 5);
        QVERIFY(checkoutSession && localSession && blogSession);
        QCOMPARE(rig.setupCount(kShop, 2), 0);
        for (const auto& frame : rig.frames(QStringLiteral("_rpc_forwardSocketSetup:"))) {
            QCOMPARE(frame.argument.value(kConnectionKey).toString(), rig.connection().connectionID());
            QCOMPARE(frame.argument.value(QStringLiteral("WIRAutomaticallyPause")), QVariant(false));
            QVERIFY(kUpperUuid.match(frame.argument.value(kSenderKey).toString()).hasMatch());
        }

        // The service names us as the holder of the pages we inspect: that is no claim.
        QVERIFY(rig.waitForPolls(2));
        QVERIFY(!rig.page(rig.key(kBlog, 5))->claimedElsewhere);
        QCOMPARE(rig.setupCount(kBlog, 5), 1);

        // A changed title is published; the session stays.
        rig.sim().setTitle(kShop, 1, QStringLiteral("Pay"));
        QTRY_COMPARE(rig.page(rig.key(kShop, 1))->title, QStringLiteral("Pay"));
        QCOMPARE(rig.setupCount(kShop, 1), 1);

        // Another client takes a page: it is listed as claimed and our session is given up silently.
        rig.sim().setHolder(kShop, 3, QStringLiteral("ANOTHER-CLIENT"));
        QTRY_VERIFY(rig.page(rig.key(kShop, 3))->claimedElsewhere);
        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(rig.setupCount(kShop, 3), 1);

        // Released again: a fresh session.
        rig.sim().setHolder(kShop, 3, std::nullopt);
        QTRY_VERIFY(!rig.page(rig.key(kShop, 3))->claimedElsewhere);
        QTRY_COMPARE(rig.setupCount(kShop, 3), 2);

        // A page that leaves the listing is removed and its session closed; other applications'
        // pages stay.
        rig.sim().removePage(kShop, 1);
        QTRY_COMPARE(pageIDs(rig.lastPages()), (QList<qint64>{5, 3}));
        QTRY_COMPARE(rig.closedSenders(), QStringList{checkoutSession->sender});
        const auto close = rig.frames(QStringLiteral("_rpc_forwardDidClose:")).front();
        QCOMPARE(close.argument.value(kPageKey).toLongLong(), 1);

        // Only that page was closed: neither the claimed one nor the other application's.
        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(rig.closedSenders(), QStringList{checkoutSession->sender});
        QCOMPARE(rig.setupCount(kBlog, 5), 1);
        QCOMPARE(rig.strayCallbacks(), 0);
    }

    void indicateAsksTheServiceToHighlightAPage() {
        ConnectionRig rig;
        QVERIFY(rig.openShop({}));
        QTRY_COMPARE(rig.lastApps().size(), 1);
        // The page does not have to be known.
        rig.connection().indicate(rig.key(kShop, 3), true);
        rig.connection().indicate(rig.key(kShop, 3), false);
        QTRY_COMPARE(rig.frames(QStringLiteral("_rpc_forwardIndicateWebView:")).size(), std::size_t(2));
        const auto frames = rig.frames(QStringLiteral("_rpc_forwardIndicateWebView:"));
        QCOMPARE(frames[0].argument, (QVariantMap{{kConnectionKey, rig.connection().connectionID()},
                                                  {kApplicationKey, kShop},
                                                  {kPageKey, qint64(3)},
                                                  {QStringLiteral("WIRIndicateEnabledKey"), true}}));
        QCOMPARE(frames[1].argument.value(QStringLiteral("WIRIndicateEnabledKey")), QVariant(false));
    }

    void captureOffHandsPagesBackUntilSwitchedOn() {
        ConnectionRig rig;
        Page held = webPage(4);
        held.heldBy = QStringLiteral("ANOTHER-CLIENT");
        QVERIFY(rig.openShop({webPage(1), webPage(2), held}));
        const auto one = rig.sim().waitForSession(kShop, 1);
        const auto two = rig.sim().waitForSession(kShop, 2);
        QVERIFY(one && two);

        rig.connection().setCapturing(false);
        QTRY_COMPARE(closedSenders(rig), (QSet<QString>{one->sender, two->sender}));

        // While off, a new page is listed but gets no session, and the poll revives nothing.
        rig.sim().addPage(kShop, webPage(3));
        QTRY_VERIFY(rig.page(rig.key(kShop, 3)).has_value());
        QVERIFY(rig.waitForPolls(4));
        QCOMPARE(rig.frames(QStringLiteral("_rpc_forwardSocketSetup:")).size(), size_t(2));

        // On again: every unclaimed page is attached at once.
        rig.connection().setCapturing(true);
        for (const qint64 page : {1, 2, 3})
            QTRY_COMPARE(rig.sim().openSessions(kShop, page).size(), size_t(1));
        QVERIFY(rig.waitForPolls(2));
        QCOMPARE(rig.frames(QStringLiteral("_rpc_forwardSocketSetup:")).size(), size_t(5));
        QCOMPARE(rig.setupCount(kShop, 4), 0);
        QCOMPARE(rig.closedSenders().size(), 2);
    }

    void stopClosesSessionsThenPublishesEmptyListsThenCloses() {
        ConnectionRig rig;
        QVERIFY(rig.openShop({webPage(1), webPage(2)}));
        const auto one = rig.sim().waitForSession(kShop, 1);
        const auto two = rig.sim().waitForSession(kShop, 2);
        QVERIFY(one && two);
        QTRY_COMPARE(rig.lastPages().size(), 2);

        rig.connection().stop();
        QTRY_COMPARE(rig.closes, 1);
        QCOMPARE(closedSenders(rig), (QSet<QString>{one->sender, two->sender}));
        // The empty lists come before the close, which is the last thing the owner hears.
        QCOMPARE(rig.order.mid(rig.order.size() - 3), (QStringList{"apps", "pages", "close"}));
        QVERIFY(rig.lastApps().isEmpty() && rig.lastPages().isEmpty());
        QCOMPARE(rig.closeThreadName(), QStringLiteral("tavolin.inspector.SIM-1"));
        QTRY_COMPARE(rig.service().clientCount(), 0);

        // Nothing follows, not even the poll.
        const qsizetype heard = rig.order.size();
        const std::size_t frames = rig.service().received().size();
        QTest::qWait(600);
        QCOMPARE(rig.order.size(), heard);
        QCOMPARE(rig.service().received().size(), frames);
        QCOMPARE(rig.strayCallbacks(), 0);
    }

    void streamCutMidFrameTearsDown() {
        ConnectionRig rig;
        QVERIFY(rig.openShop({webPage(1)}));
        QVERIFY(rig.sim().waitForSession(kShop, 1));
        QTRY_COMPARE(rig.lastPages().size(), 1);

        // Half of a frame, then the stream ends.
        const QByteArray frame =
            FakeInspectorService::encode(QStringLiteral("_rpc_applicationSentListing:"),
                                         {{kApplicationKey, kShop}, {"WIRListingKey", QVariantMap()}});
        QVERIFY(rig.service().sendRaw(frame.left(frame.size() / 2)));
        rig.service().disconnect();

        QTRY_COMPARE(rig.closes, 1);
        QCOMPARE(rig.order.mid(rig.order.size() - 3), (QStringList{"apps", "pages", "close"}));
        QVERIFY(rig.lastApps().isEmpty() && rig.lastPages().isEmpty());
        // The service is gone: nothing to close there.
        QCOMPARE(rig.closedSenders(), QStringList());

        // A stop after the end changes nothing; dropping the connection is clean.
        rig.connection().stop();
        QTest::qWait(300);
        QCOMPARE(rig.closes, 1);
        rig.dropConnection();
        QCOMPARE(rig.strayCallbacks(), 0);
    }

    void aCallbackMayDropTheConnection() {
        ConnectionRig rig;
        int entries = 0;
        rig.connection().onEntry = [&](ConsoleEntry) {
            ++entries;
            rig.dropConnection();
        };
        QVERIFY(rig.openShop({webPage(1)}));
        QVERIFY(rig.sim().waitForSession(kShop, 1));
        QVERIFY(rig.sim().waitForCommand(kShop, 1, QStringLiteral("Inspector.initialized")));
        // A burst, so that the first entry is delivered with others behind it in the same batch.
        for (int i = 0; i < 500; ++i)
            rig.sim().sendConsole(
                kShop, 1, {{"source", "console-api"}, {"level", "log"}, {"text", QString::number(i)}});
        QTRY_COMPARE(entries, 1);
        QTRY_COMPARE(rig.service().clientCount(), 0);
        QTest::qWait(200);
        QCOMPARE(entries, 1);
        QCOMPARE(rig.closes, 0);
    }

    void startFailsWithoutAService() {
        WebInspectorConnection connection(
            QStringLiteral("SIM-2"),
            std::make_shared<UnixTransport>(QStringLiteral("/tmp/tv-none/none.sock")));
        int calls = 0;
        connection.onApps = [&](QList<InspectorApp>) { ++calls; };
        connection.onPages = [&](QList<InspectorPage>) { ++calls; };
        connection.onClose = [&] { ++calls; };
        QVERIFY(connection.start().has_value());
        connection.setCapturing(true);
        connection.stop();
        QTest::qWait(300);
        QCOMPARE(calls, 0);
    }
};

QTEST_GUILESS_MAIN(ConnectionInventoryTest)
#include "tst_connection_inventory.moc"
