// The console window's sidebar over a hub whose devices come from a scripted scan and whose
// inventory and entries a test sets: rows and their texts, collapsing, keeping a selection across a
// reload or a restart, and screenshots in a light and a dark palette.
#include "console/ConsoleHub.h"
#include "support/ScriptedDiscovery.h"
#include "ui/ConsoleActions.h"
#include "ui/Icons.h"
#include "ui/SidebarDelegate.h"
#include "ui/SidebarRow.h"
#include "ui/SidebarView.h"

#include <QApplication>
#include <QBuffer>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleFactory>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const AppKey kExample{u"PHONE"_s, u"PID:10"_s}, kSafari{u"PHONE"_s, u"PID:20"_s};
const PageKey kIndex{u"PHONE"_s, u"PID:10"_s, 1};

QByteArray png() {
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(QColor(0x2a, 0x7a, 0xe2));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    image.save(&buffer, "PNG");
    return bytes;
}

InspectorPage page(const PageKey& key, const QString& title, const QString& url) {
    InspectorPage page;
    page.key = key;
    page.title = title;
    page.url = url;
    return page;
}

// Two simulators (the iPad cannot be reached), a device without webviews, two applications with pages.
struct Sidebar {
    ScriptedDiscovery script;
    ConsoleHub hub{script.discovery()};
    ConsoleActions actions{&hub};
    SidebarView view{&hub, &actions};
    std::vector<ConsoleScope> picked; // what scopeChanged said

    Sidebar() {
        QObject::connect(&view, &SidebarView::scopeChanged,
                         [this](const ConsoleScope& scope) { picked.push_back(scope); });
    }

    PageInventory& inventory() { return const_cast<PageInventory&>(hub.inventory()); }
    QModelIndex index(int row) const { return view.model()->index(row, 0); }
    QStringList texts() const {
        QStringList texts;
        for (int row = 0; row < view.model()->rowCount(); ++row)
            texts << index(row).data(Qt::AccessibleTextRole).toString();
        return texts;
    }
    int rowOf(const QString& text) const { return int(texts().indexOf(text)); }
    void click(int row, bool onChevron = false) {
        const QRect rect = view.visualRect(index(row));
        const QPoint at = onChevron ? rect.topLeft() + QPoint(12, rect.height() / 2) : rect.center();
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, at);
    }

    bool populate() {
        script.simulators = {ScriptedDiscovery::simulator(u"PHONE"_s, u"iPhone 15 Pro"_s, std::nullopt),
                             ScriptedDiscovery::simulator(u"PAD"_s, u"iPad Air"_s, u"/nonexistent/socket"_s)};
        script.devices = {{u"WORK"_s, u"Work Phone"_s, u"iOS 16.7"_s, InspectableDevice::Kind::device, {}}};
        if (!ScriptedDiscovery::scan(hub))
            return false;
        inventory().replaceApps(u"PHONE"_s, {{kExample, u"Example"_s, png()}, {kSafari, u"Safari"_s, {}}});
        InspectorPage claimed =
            page({u"PHONE"_s, kSafari.appID, 3}, u"Cart"_s, u"https://shop.example/cart"_s);
        claimed.claimedElsewhere = true;
        InspectorPage busy = page({u"PHONE"_s, kSafari.appID, 4}, u"Shop"_s, u"https://shop.example/"_s);
        busy.unresponsive = true;
        busy.overrideName = u"Storefront"_s;
        inventory().replacePages(
            u"PHONE"_s,
            {page(kIndex, u"Example"_s, u"file:///Users/me/Sim/Bundle/Example.app/www/index.html"_s),
             page({u"PHONE"_s, kSafari.appID, 2}, {}, u"about:blank"_s), claimed, busy});
        for (const qint64 number : {1, 1, 3})
            hub.append({.page = {u"PHONE"_s, number == 1 ? kExample.appID : kSafari.appID, number},
                        .text = u"hello"_s});
        QCoreApplication::processEvents();
        return true;
    }
};

} // namespace

class TestSidebar : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { Icons::install(); }

    void rowsFollowTheHub() {
        Sidebar bar;
        QCOMPARE(bar.texts(), QStringList{u"No booted simulators or devices"_s});
        QVERIFY(!(bar.index(0).flags() & Qt::ItemIsSelectable));

        QVERIFY(bar.populate());
        QCOMPARE(bar.texts(), (QStringList{u"iPhone 15 Pro, iOS 17.5, 3"_s, u"Example, PID 10, 2"_s,
                                           u"Example, www/index.html, 2"_s, u"Safari, PID 20, 1"_s,
                                           u"about:blank, about:blank, 0"_s, u"Cart, shop.example/cart, 1"_s,
                                           u"Storefront, shop.example/, Shop, 0"_s,
                                           u"iPad Air, "_s + bar.hub.trouble().value(u"PAD"_s) + u", 0"_s,
                                           u"No inspectable webviews"_s, u"Work Phone, iOS 16.7, 0"_s,
                                           u"No inspectable webviews"_s}));
        QVERIFY(!bar.hub.trouble().value(u"PAD"_s).isEmpty());
        const auto description = [&](int row) { return bar.index(row).data(Qt::AccessibleDescriptionRole); };
        QCOMPARE(description(bar.rowOf(u"Cart, shop.example/cart, 1"_s)), SidebarRow::claimedHelp());
        QCOMPARE(description(6), SidebarRow::unresponsiveHelp());
        QCOMPARE(description(7), QString()); // no applications: no chevron
        QCOMPARE(description(0), SidebarRow::collapseHelp());

        // A note is not selected by a click, nor by the keys, which step over it.
        bar.view.setScope(ConsoleScope::device(u"PAD"_s));
        bar.click(8);
        for (const auto key : {Qt::Key_Down, Qt::Key_End, Qt::Key_Up})
            QTest::keyClick(bar.view.viewport(), key);
        QCOMPARE(bar.picked, (std::vector{ConsoleScope::device(u"WORK"_s), ConsoleScope::device(u"PAD"_s)}));

        // Hovering a page row highlights its page; another row, or leaving, ends that.
        const auto hover = [&](int row) {
            QMouseEvent move(QEvent::MouseMove, QPointF(bar.view.visualRect(bar.index(row)).center()),
                             QPointF(), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(bar.view.viewport(), &move);
            return bar.actions.indicated();
        };
        QCOMPARE(hover(2), std::optional(kIndex));
        QCOMPARE(hover(1), std::nullopt);
        hover(2);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(bar.view.viewport(), &leave);
        QCOMPARE(bar.actions.indicated(), std::nullopt);
    }

    // A chevron hides what lies under its row without selecting it; the row still counts all of it,
    // and counts follow the store, once per turn of the event loop.
    void collapsingAndCounts() {
        Sidebar bar;
        QVERIFY(bar.populate());
        bar.view.setScope(ConsoleScope::page(kIndex));
        bar.click(bar.rowOf(u"iPhone 15 Pro, iOS 17.5, 3"_s), true);
        QCOMPARE(bar.texts().mid(0, 2), (QStringList{u"iPhone 15 Pro, iOS 17.5, 3"_s, bar.texts().at(1)}));
        QVERIFY(bar.texts().at(1).startsWith(u"iPad Air"_s));
        QCOMPARE(bar.index(0).data(Qt::AccessibleDescriptionRole), SidebarRow::expandHelp());
        QVERIFY(bar.picked.empty() && bar.view.selectionModel()->selectedIndexes().isEmpty());

        QSignalSpy counted(bar.view.model(), &QAbstractItemModel::dataChanged);
        for (int i = 0; i < 5; ++i)
            bar.hub.append({.page = kIndex, .text = u"more"_s});
        QCoreApplication::processEvents();
        QCOMPARE(counted.count(), 1);
        QCOMPARE(bar.texts().at(0), u"iPhone 15 Pro, iOS 17.5, 8"_s);

        bar.click(0, true); // open again: the page is selected again
        QCOMPARE(bar.view.selectionModel()->selectedIndexes().value(0).row(),
                 bar.rowOf(u"Example, www/index.html, 7"_s));
        QVERIFY(bar.picked.empty());
    }

    void selectionSurvivesReloadAndRestart_data() {
        QTest::addColumn<bool>("restart");
        QTest::newRow("page reloads") << false;
        QTest::newRow("application restarts") << true;
    }
    void selectionSurvivesReloadAndRestart() {
        QFETCH(bool, restart);
        Sidebar bar;
        QVERIFY(bar.populate());
        bar.click(bar.rowOf(restart ? u"Example, PID 10, 2"_s : u"Example, www/index.html, 2"_s));
        QCOMPARE(bar.picked.size(), size_t(1));

        const PageKey reloaded{u"PHONE"_s, restart ? u"PID:11"_s : kExample.appID, 9};
        if (restart)
            bar.inventory().replaceApps(u"PHONE"_s, {{reloaded.app(), u"Example"_s, {}}});
        bar.inventory().replacePages(
            u"PHONE"_s, {page(reloaded, u"Example"_s, u"file:///b/Example.app/www/index.html"_s)});
        QTRY_COMPARE(bar.picked.size(), size_t(2));
        const ConsoleScope expected =
            restart ? ConsoleScope::app(reloaded.app()) : ConsoleScope::page(reloaded);
        QCOMPARE(bar.picked.back(), expected);
        QCOMPARE(
            bar.view.selectionModel()->selectedIndexes().value(0).data(Qt::AccessibleTextRole).toString(),
            restart ? u"Example, PID 11, 0"_s : u"Example, www/index.html, 0"_s);
    }

    void shortAddresses_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("expected");
        QTest::newRow("bundle") << u"file:///x/Example.app/www/index.html"_s << u"www/index.html"_s;
        QTest::newRow("file outside a bundle") << u"file:///tmp/a.app.html"_s << u"/tmp/a.app.html"_s;
        QTest::newRow("web") << u"https://a.example/x.app/y"_s << u"a.example/x.app/y"_s;
        QTest::newRow("no scheme") << u"about:blank"_s << u"about:blank"_s;
    }
    void shortAddresses() {
        QFETCH(QString, url);
        InspectorPage page;
        page.url = url;
        QTEST(page.shortenedUrl(), "expected");
    }

    // For people to look at: build/tests/ui/sidebar-light.png and sidebar-dark.png.
    void screenshots() {
        QApplication::setStyle(QStyleFactory::create(u"Fusion"_s));
        for (const bool dark : {false, true}) {
            QPalette palette = QApplication::style()->standardPalette();
            if (dark) {
                const std::pair<QPalette::ColorRole, QColor> roles[] = {
                    {QPalette::Window, QColor(0x2b, 0x2b, 0x2e)},
                    {QPalette::Base, QColor(0x23, 0x23, 0x26)},
                    {QPalette::Text, QColor(0xe8, 0xe8, 0xea)},
                    {QPalette::WindowText, QColor(0xe8, 0xe8, 0xea)},
                    {QPalette::Highlight, QColor(0x2f, 0x6f, 0xd0)},
                    {QPalette::HighlightedText, Qt::white}};
                for (const auto& [role, color] : roles)
                    palette.setColor(role, color);
            }
            QApplication::setPalette(palette);
            Sidebar bar;
            QVERIFY(bar.populate());
            bar.view.resize(310, 440);
            bar.view.show();
            bar.view.setScope(ConsoleScope::page(kIndex));
            QVERIFY(bar.view.grab().save(QCoreApplication::applicationDirPath() +
                                         (dark ? u"/sidebar-dark.png"_s : u"/sidebar-light.png"_s)));
        }
    }
};

QTEST_MAIN(TestSidebar)
#include "tst_sidebar.moc"
