#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

class AppLock;
class LockScreen;
class QWidget;

// Puts a lock screen over every window of the program while it is locked (also over windows that
// open meanwhile) and keeps all input from reaching anything but the lock screens: no key, click or
// shortcut gets to a table, an editor or a remote session. Unlocking takes the covers away and gives
// the focus back to where it was.
class LockScreenController : public QObject
{
    Q_OBJECT

public:
    explicit LockScreenController(AppLock* lock, QObject* parent = nullptr);
    ~LockScreenController() override;

    // What "忘记主密码？" does; it gets the window the user asked from.
    void setForgottenHandler(std::function<void(QWidget*)> handler) { m_forgotten = std::move(handler); }

    QList<LockScreen*> lockScreens() const;
    // The title of every covered window while locked.
    static QString lockedTitle();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onLocked();
    void onUnlocked();
    void onUnlockFailed(qint64 retryDelayMs);
    void cover(QWidget* window);
    void requestUnlock(const QString& password);
    void updateWaiting();
    void setAllAccepting(bool accepting, const QString& message);
    static bool isInsideLockScreen(QObject* object);
    static bool isInputEvent(int type);

    AppLock* m_lock;
    QList<QPointer<LockScreen>> m_screens;
    QPointer<QWidget> m_focusBeforeLock;
    QTimer m_waitTimer;
    std::function<void(QWidget*)> m_forgotten;
    bool m_filtering = false;
    bool m_inForgotten = false;
};
