// The lock as a user meets it: every window of the program covered, no input getting through, the
// growing wait after a wrong master password, and the windows as they were after the unlock.

#include "storage/app_lock.h"
#include "storage/config_manager.h"
#include "storage/master_key_record.h"
#include "support/inventory_records.h"
#include "support/manual_clock.h"
#include "ui/lock_screen.h"
#include "ui/lock_screen_controller.h"
#include "ui/main_window.h"

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <sodium.h>

namespace {

const QString kMasterPassword = QStringLiteral("lock screen master 1");
constexpr int kWaitMs = 20000;

// Counts the input that reaches it, as a remote session's surface would forward it.
class InputCounter : public QWidget
{
public:
    using QWidget::QWidget;
    int events = 0;

protected:
    void keyPressEvent(QKeyEvent*) override { ++events; }
    void mousePressEvent(QMouseEvent*) override { ++events; }
    void wheelEvent(QWheelEvent*) override { ++events; }
};

LockScreen* coverOf(QWidget* window)
{
    return window->findChild<LockScreen*>(QString(), Qt::FindDirectChildrenOnly);
}

} // namespace

class TestLockScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        MasterKeyRecord::setSealingLimits({crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN});
    }

    void lockCoversEveryWindowAndUnlockRestoresThem()
    {
        TestInventory inventory;
        QVERIFY(inventory.open());
        QVERIFY(inventory.crypto->setMasterPassword({}, kMasterPassword, nullptr));
        ManualClock clock;
        AppLock lock(inventory.crypto.get(), &clock);
        ConfigManager config;
        MainWindow window(inventory.db.get(), &config, inventory.crypto.get());
        window.setAppLock(&lock);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.lockAction()->isEnabled());

        // An editor with typed text and focus, and a session window whose surface counts input.
        QDialog editor;
        auto* field = new QLineEdit(QStringLiteral("typed before"), &editor);
        editor.setLayout(new QVBoxLayout);
        editor.layout()->addWidget(field);
        editor.show();
        QWidget session;
        auto* surface = new InputCounter(&session);
        surface->setFocusPolicy(Qt::StrongFocus);
        surface->resize(300, 200);
        session.resize(320, 240);
        session.show();
        QVERIFY(QTest::qWaitForWindowExposed(&session));
        editor.activateWindow();
        field->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), field);
        const QRect editorGeometry = editor.geometry();
        editor.setWindowTitle(QStringLiteral("编辑主机 web-01"));

        QSignalSpy locked(&lock, &AppLock::locked);
        window.lockAction()->trigger();
        QCOMPARE(locked.count(), 1);
        QVERIFY(inventory.crypto->isLocked());
        for (QWidget* top : {static_cast<QWidget*>(&window), static_cast<QWidget*>(&editor), &session}) {
            LockScreen* cover = coverOf(top);
            QVERIFY2(cover && cover->isVisible(), qPrintable(top->metaObject()->className()));
            QCOMPARE(cover->geometry(), top->rect());
        }
        QCOMPARE(editor.windowTitle(), LockScreenController::lockedTitle());
        // A window that opens while locked is covered as well.
        QDialog later;
        later.show();
        QVERIFY(coverOf(&later));

        // Nothing reaches the content: keys, clicks, wheel, shortcuts.
        QTest::keyClicks(field, QStringLiteral("xyz"));
        QTest::keyClick(surface, Qt::Key_A);
        QTest::mouseClick(surface, Qt::LeftButton);
        QWheelEvent wheel(QPointF(5, 5), surface->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(surface, &wheel);
        QCOMPARE(field->text(), QStringLiteral("typed before"));
        QCOMPARE(surface->events, 0);
        QSignalSpy lockedAgain(&lock, &AppLock::locked);
        QTest::keyClick(&window, Qt::Key_L, Qt::ControlModifier);
        QCOMPARE(lockedAgain.count(), 0);

        // A wrong password: the lock screens wait, then take the right one.
        LockScreen* cover = coverOf(&editor);
        QSignalSpy failed(&lock, &AppLock::unlockFailed);
        QTest::keyClicks(cover->passwordEdit(), QStringLiteral("wrong password"));
        QTest::keyClick(cover->passwordEdit(), Qt::Key_Return);
        QVERIFY(failed.wait(kWaitMs));
        QVERIFY(cover->passwordEdit()->text().isEmpty());
        for (LockScreen* screen : window.lockScreens()->lockScreens()) {
            QVERIFY(!screen->passwordEdit()->isEnabled());
            QVERIFY2(screen->messageLabel()->text().contains(QStringLiteral("1 秒后重试")),
                     qPrintable(screen->messageLabel()->text()));
        }
        clock.now += 1000;
        QTRY_VERIFY_WITH_TIMEOUT(cover->passwordEdit()->isEnabled(), kWaitMs);

        QSignalSpy unlocked(&lock, &AppLock::unlocked);
        QTest::keyClicks(cover->passwordEdit(), kMasterPassword);
        QTest::keyClick(cover->passwordEdit(), Qt::Key_Return);
        QVERIFY(unlocked.wait(kWaitMs));
        QTRY_VERIFY(!coverOf(&window) && !coverOf(&editor) && !coverOf(&session) && !coverOf(&later));
        QVERIFY(!inventory.crypto->isLocked());
        QVERIFY(editor.isVisible() && session.isVisible() && window.isVisible());
        QCOMPARE(editor.geometry(), editorGeometry);
        QCOMPARE(field->text(), QStringLiteral("typed before"));
        QCOMPARE(editor.windowTitle(), QStringLiteral("编辑主机 web-01"));
        QCOMPARE(QApplication::focusWidget(), field);
        QTest::keyClick(surface, Qt::Key_A);
        QCOMPARE(surface->events, 1);
    }

    // Without a master password there is nothing to lock with: the action is off and does nothing.
    void noMasterPasswordNoLock()
    {
        TestInventory inventory;
        QVERIFY(inventory.open());
        AppLock lock(inventory.crypto.get());
        ConfigManager config;
        MainWindow window(inventory.db.get(), &config, inventory.crypto.get());
        window.setAppLock(&lock);
        window.show();
        QVERIFY(!window.lockAction()->isEnabled());
        auto* button = window.findChild<QPushButton*>(QStringLiteral("lockButton"));
        QVERIFY(button && !button->isEnabled());
        QVERIFY(button->toolTip().contains(QStringLiteral("主密码")));
        lock.lock();
        QVERIFY(!lock.isLocked());
        QVERIFY(!coverOf(&window));
    }
};

QTEST_MAIN(TestLockScreen)
#include "test_lock_screen.moc"
