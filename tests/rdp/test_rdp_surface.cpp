#include "rdp/rdp_surface.h"

#include "rdp/freerdp_session.h"
#include "rdp/rdp_tile.h"
#include "support/session_frames.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

namespace {

// Every pixel different from its neighbours, so that a scaled pixel taken from the wrong place shows.
QImage noise(QSize size, quint32 seed)
{
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            line[x] = 0xFF000000U | (random.generate() & 0xFFFFFFU);
        }
    }
    return image;
}

// `base` with `area` taken from `patch`.
QImage patched(const QImage& base, const QImage& patch, const QRect& area)
{
    QImage result = base.copy();
    QPainter painter(&result);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(area.topLeft(), patch, area);
    return result;
}

QImage rendered(QWidget& widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// What a surface of the same size shows for `frame` when it gets the frame whole.
QImage reference(QSize widgetSize, const QImage& frame)
{
    RdpSurface surface;
    surface.resize(widgetSize);
    surface.showFrame(frame, frame.rect());
    return rendered(surface);
}

// The frame pixel a widget pixel inside the frame's area shows: the one under the widget pixel's centre.
QRgb shownAt(QSize widgetSize, const QImage& frame, QPoint point)
{
    const QRect target = RdpSurface::imageRect(widgetSize, frame.size());
    const QPointF centre = QPointF(point - target.topLeft()) + QPointF(0.5, 0.5);
    return frame.pixel(int(centre.x() * frame.width() / target.width()),
                       int(centre.y() * frame.height() / target.height()));
}

} // namespace

class TestRdpSurface : public QObject
{
    Q_OBJECT

private slots:
    void partialUpdatesShowWhatAWholeFrameShows_data()
    {
        QTest::addColumn<QSize>("widget");
        QTest::addColumn<QSize>("frame");
        // A wall tile (scaled down by an uneven factor), a letterboxed one, a zoomed one (scaled up).
        QTest::newRow("tile") << QSize(317, 178) << QSize(1280, 720);
        QTest::newRow("letterboxed") << QSize(400, 400) << QSize(1024, 768);
        QTest::newRow("zoomed") << QSize(1501, 860) << QSize(640, 360);
    }

    void partialUpdatesShowWhatAWholeFrameShows()
    {
        QFETCH(QSize, widget);
        QFETCH(QSize, frame);
        RdpSurface surface;
        surface.resize(widget);
        QImage current = noise(frame, 1);
        surface.showFrame(current, QRect(0, 0, 1, 1));
        const QImage whole = rendered(surface);
        QCOMPARE(whole, reference(widget, current));
        const QRect target = RdpSurface::imageRect(widget, frame);
        for (const QPoint point : {target.topLeft(), target.center(), target.bottomRight(),
                                   target.topLeft() + QPoint(target.width() / 3, target.height() / 7)}) {
            QCOMPARE(whole.pixel(point), shownAt(widget, current, point));
        }

        const QRect changes[] = {
            QRect(0, 0, 1, 1),
            QRect(frame.width() - 1, frame.height() - 1, 1, 1),
            QRect(101, 37, 3, 250),
            QRect(frame.width() / 2 - 7, 13, 64, 64),
            QRect(0, frame.height() / 3, frame.width(), 2),
        };
        quint32 seed = 2;
        for (const QRect& change : changes) {
            current = patched(current, noise(frame, seed++), change);
            surface.showFrame(current, change);
            QCOMPARE(rendered(surface), reference(widget, current));
        }

        // Several changes before the next paint, and one that reaches past the frame.
        const QRect first(5, 5, 40, 40);
        const QRect second(frame.width() - 30, 200, 60, 60);
        current = patched(current, noise(frame, seed++), first);
        surface.showFrame(current, first);
        current = patched(current, noise(frame, seed++), second);
        surface.showFrame(current, second);
        QCOMPARE(rendered(surface), reference(widget, current));
    }

    void aResizeAsksForTheWholeFrame()
    {
        RdpSurface surface;
        surface.resize(317, 178);
        QSignalSpy wanted(&surface, &RdpSurface::wholeFrameNeeded);
        QImage current = noise(QSize(1280, 720), 7);
        surface.showFrame(current, current.rect());
        QCOMPARE(rendered(surface), reference(QSize(317, 178), current));
        QCOMPARE(wanted.size(), 0);

        // Meanwhile the old picture is shown stretched; the next frame, whatever it changed, redoes all.
        surface.resize(640, 360);
        (void)rendered(surface);
        QVERIFY(!wanted.isEmpty());
        const QRect change(600, 300, 100, 100);
        current = patched(current, noise(current.size(), 8), change);
        surface.showFrame(current, change);
        QCOMPARE(surface.picture().size(), QSize(640, 360));
        QCOMPARE(rendered(surface), reference(QSize(640, 360), current));
    }

    void changesWhileHiddenAreShownLater()
    {
        QWidget window;
        window.resize(400, 300);
        auto* surface = new RdpSurface(&window);
        surface->setGeometry(0, 0, 320, 180);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QImage current = noise(QSize(1280, 720), 11);
        surface->showFrame(current, current.rect());
        QCOMPARE(rendered(*surface), reference(surface->size(), current));

        surface->hide();
        const QRect first(0, 0, 300, 200);
        const QRect second(900, 500, 380, 220);
        current = patched(current, noise(current.size(), 12), first);
        surface->showFrame(current, first);
        current = patched(current, noise(current.size(), 13), second);
        surface->showFrame(current, second);
        surface->show();
        QCOMPARE(rendered(*surface), reference(surface->size(), current));
    }

    void aTileShowsTheFramesItsSessionDelivers()
    {
        RdpTile tile(Remote{}, QSize(1280, 720), 32);
        tile.resize(360, 260);
        tile.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tile));
        auto* surface = tile.findChild<RdpSurface*>();
        auto* session = tile.findChild<FreeRdpSession*>();
        QSignalSpy frames(session, &FreeRdpSession::frameReady);

        QImage current = noise(QSize(1280, 720), 21);
        FreeRdpSessionTestAccess::storeFrame(*session, current, QRect());
        QTRY_COMPARE_WITH_TIMEOUT(frames.size(), 1, 5000);
        frames.clear();
        QVERIFY(surface->text().isEmpty());
        QCOMPARE(rendered(*surface), reference(surface->size(), current));

        // Each later frame brings only the painted area, which is all the surface redoes.
        const QRect changes[] = {QRect(640, 360, 1, 1), QRect(0, 0, 1280, 3), QRect(333, 111, 77, 555)};
        quint32 seed = 22;
        for (const QRect& change : changes) {
            const QImage painted = noise(current.size(), seed++);
            current = patched(current, painted, change);
            FreeRdpSessionTestAccess::storeFrame(*session, current, change);
            QTRY_COMPARE_WITH_TIMEOUT(frames.size(), 1, 5000);
            frames.clear();
            QCOMPARE(rendered(*surface), reference(surface->size(), current));
        }

        // A larger tile gets the whole frame again, although nothing was painted.
        tile.resize(720, 520);
        QTRY_COMPARE_WITH_TIMEOUT(frames.size(), 1, 5000);
        QCOMPARE(frames.at(0).at(0).value<QRegion>(), QRegion(current.rect()));
        QCOMPARE(rendered(*surface), reference(surface->size(), current));
    }
};

QTEST_MAIN(TestRdpSurface)
#include "test_rdp_surface.moc"
