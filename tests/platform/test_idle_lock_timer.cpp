#include "platform/clock.h"
#include "platform/idle_lock_timer.h"
#include "support/manual_clock.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QSignalSpy>
#include <QTest>

namespace {

// One step of a scenario, at a time in milliseconds: an event sent to a window's object, or a setting.
struct Step
{
    enum Kind { Key, Mouse, Wheel, Touch, Paint, Timer, Note, Timeout, Enable, Disable } kind;
    qint64 atMs;
    int seconds = 0;
};

void send(Step::Kind kind, QObject* target)
{
    const QPointF at(5, 5);
    switch (kind) {
    case Step::Key: {
        QKeyEvent event(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
        QCoreApplication::sendEvent(target, &event);
        break;
    }
    case Step::Mouse: {
        QMouseEvent event(QEvent::MouseMove, at, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &event);
        break;
    }
    case Step::Wheel: {
        QWheelEvent event(at, at, QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                          false);
        QCoreApplication::sendEvent(target, &event);
        break;
    }
    case Step::Touch: {
        QTouchEvent event(QEvent::TouchBegin);
        QCoreApplication::sendEvent(target, &event);
        break;
    }
    case Step::Paint: {
        QPaintEvent event(QRect(0, 0, 10, 10));
        QCoreApplication::sendEvent(target, &event);
        break;
    }
    case Step::Timer: {
        QTimerEvent event(1);
        QCoreApplication::sendEvent(target, &event);
        break;
    }
    default:
        break;
    }
}

} // namespace

using Steps = QList<Step>;
using Times = QList<qint64>;

class TestIdleLockTimer : public QObject
{
    Q_OBJECT

private slots:
    void firesAfterTheTimeWithoutInput_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<Times>("expected");
        QTest::newRow("fires at the timeout, once") << Steps{{Step::Timeout, 0, 2}} << Times{2000};
        QTest::newRow("key and mouse push it back")
            << Steps{{Step::Timeout, 0, 2}, {Step::Key, 1500}, {Step::Mouse, 3000}} << Times{5000};
        QTest::newRow("wheel and touch push it back")
            << Steps{{Step::Timeout, 0, 2}, {Step::Wheel, 1900}, {Step::Touch, 3800}} << Times{5800};
        QTest::newRow("paint and timer events are no input")
            << Steps{{Step::Timeout, 0, 2}, {Step::Paint, 1000}, {Step::Timer, 1900}} << Times{2000};
        QTest::newRow("again after new input and a full timeout")
            << Steps{{Step::Timeout, 0, 2}, {Step::Key, 4000}, {Step::Note, 7000}} << Times{2000, 6000, 9000};
        QTest::newRow("disabled never fires") << Steps{{Step::Timeout, 0, 2}, {Step::Disable, 0}} << Times{};
        QTest::newRow("zero never fires") << Steps{{Step::Timeout, 0, 0}} << Times{};
        QTest::newRow("negative never fires") << Steps{{Step::Timeout, 0, -5}} << Times{};
        QTest::newRow("enabling starts a fresh count")
            << Steps{{Step::Timeout, 0, 2}, {Step::Disable, 0}, {Step::Enable, 5000}} << Times{7000};
        QTest::newRow("longer timeout while running")
            << Steps{{Step::Timeout, 0, 2}, {Step::Timeout, 1000, 6}} << Times{6000};
        QTest::newRow("shorter timeout while running")
            << Steps{{Step::Timeout, 0, 6}, {Step::Key, 1000}, {Step::Timeout, 2000, 3}} << Times{4000};
        QTest::newRow("turned off after firing")
            << Steps{{Step::Timeout, 0, 2}, {Step::Timeout, 2500, 0}, {Step::Key, 3000}} << Times{2000};
    }

    // The clock advances in 100 ms steps with a check() after each, up to ten seconds.
    void firesAfterTheTimeWithoutInput()
    {
        QFETCH(Steps, steps);
        QFETCH(Times, expected);
        ManualClock clock;
        IdleLockTimer timer(&clock);
        QSignalSpy spy(&timer, &IdleLockTimer::idleTimeoutReached);
        QObject window;
        Times fired;
        for (clock.now = 0; clock.now <= 10000; clock.now += 100) {
            for (const Step& step : steps) {
                if (step.atMs != clock.now) {
                    continue;
                }
                if (step.kind == Step::Timeout) {
                    timer.setTimeoutSeconds(step.seconds);
                } else if (step.kind == Step::Enable || step.kind == Step::Disable) {
                    timer.setEnabled(step.kind == Step::Enable);
                } else if (step.kind == Step::Note) {
                    timer.noteActivity();
                } else {
                    send(step.kind, &window);
                }
            }
            const qsizetype before = spy.count();
            timer.check();
            if (spy.count() != before) {
                fired << clock.now;
            }
        }
        QCOMPARE(fired, expected);
    }

    // Without check() calls: the timer's own wake-up notices that the (fake) time has passed.
    void wakesUpByItself()
    {
        ManualClock clock;
        IdleLockTimer timer(&clock);
        QSignalSpy spy(&timer, &IdleLockTimer::idleTimeoutReached);
        timer.setTimeoutSeconds(1);
        clock.now = 60000;
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.count(), 1);
    }
};

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    TestIdleLockTimer test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_idle_lock_timer.moc"
