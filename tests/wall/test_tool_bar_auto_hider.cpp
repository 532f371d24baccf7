// A session window's tool bar as the [display] settings want it: stays, hides after the delay, or
// starts hidden; a hidden one comes back at the window's top edge, and not elsewhere.

#include "wall/tool_bar_auto_hider.h"

#include <QLabel>
#include <QMainWindow>
#include <QTest>
#include <QToolBar>

class TestToolBarAutoHider : public QObject
{
    Q_OBJECT

private slots:
    void showsHidesAndComesBack_data()
    {
        QTest::addColumn<bool>("show");
        QTest::addColumn<bool>("autoHide");
        QTest::newRow("shown, stays") << true << false;
        QTest::newRow("shown, hides") << true << true;
        QTest::newRow("not shown") << false << false;
        QTest::newRow("not shown, hiding") << false << true;
    }

    void showsHidesAndComesBack()
    {
        QFETCH(bool, show);
        QFETCH(bool, autoHide);
        QMainWindow window;
        auto* bar = new QToolBar(QStringLiteral("会话操作"), &window);
        bar->addAction(QStringLiteral("全部重连"));
        window.addToolBar(bar);
        auto* centre = new QLabel(QStringLiteral("tiles"), &window);
        centre->setMouseTracking(true); // as the session pictures track the pointer
        window.setCentralWidget(centre);
        window.resize(800, 600);
        ToolBarAutoHider hider(&window, bar, show, autoHide, 60000);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseMove(centre, QPoint(400, 300)); // the pointer away from the bar

        const bool hides = !show || autoHide;
        QCOMPARE(bar->isVisible(), show);
        QCOMPARE(hider.hideTimer()->isActive(), show && autoHide);
        if (!hides) {
            QTest::mouseMove(centre, QPoint(400, 1));
            QVERIFY(bar->isVisible());
            return;
        }
        if (show) {
            hider.hideTimer()->setInterval(0); // the delay runs out
            QTRY_VERIFY(bar->isHidden());
        }

        // The pointer in the middle of the window leaves it hidden; at the top edge it comes back.
        QTest::mouseMove(centre, QPoint(400, 300));
        QVERIFY(bar->isHidden());
        QCOMPARE(centre->mapTo(&window, QPoint(0, 0)).y(), 0); // the bar's room went to the tiles
        QTest::mouseMove(centre, QPoint(400, 1));
        QTRY_VERIFY(bar->isVisible());
        // Kept while the pointer is on it; the delay runs from when it leaves.
        QTest::mouseMove(centre, QPoint(400, 300));
        QTRY_VERIFY(hider.hideTimer()->isActive());
        hider.hideTimer()->setInterval(0);
        hider.hideTimer()->start();
        QTRY_VERIFY(bar->isHidden());
    }
};

QTEST_MAIN(TestToolBarAutoHider)
#include "test_tool_bar_auto_hider.moc"
