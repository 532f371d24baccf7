#include "ui/lock_screen_controller.h"

#include "platform/idle_lock_timer.h"
#include "storage/app_lock.h"
#include "ui/lock_screen.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

#include <algorithm>

namespace {

constexpr const char* kTitleBeforeLock = "nimbaraTitleBeforeLock";

} // namespace

QString LockScreenController::lockedTitle()
{
    return QStringLiteral("NIMBARA（已锁定）");
}

LockScreenController::LockScreenController(AppLock* lock, QObject* parent) : QObject(parent), m_lock(lock)
{
    m_waitTimer.setInterval(250);
    connect(&m_waitTimer, &QTimer::timeout, this, &LockScreenController::updateWaiting);
    connect(m_lock, &AppLock::locked, this, &LockScreenController::onLocked);
    connect(m_lock, &AppLock::unlocked, this, &LockScreenController::onUnlocked);
    connect(m_lock, &AppLock::unlockFailed, this, &LockScreenController::onUnlockFailed);
    if (m_lock->isLocked()) {
        // Started locked: the windows are covered as they appear.
        onLocked();
    }
}

LockScreenController::~LockScreenController()
{
    if (m_filtering) {
        qApp->removeEventFilter(this);
    }
}

QList<LockScreen*> LockScreenController::lockScreens() const
{
    QList<LockScreen*> screens;
    for (const QPointer<LockScreen>& screen : m_screens) {
        if (screen) {
            screens.append(screen);
        }
    }
    return screens;
}

void LockScreenController::onLocked()
{
    m_focusBeforeLock = QApplication::focusWidget();
    // A zoomed session may hold the keyboard or the mouse: the lock screens need them.
    if (QWidget* grabber = QWidget::keyboardGrabber()) {
        grabber->releaseKeyboard();
    }
    if (QWidget* grabber = QWidget::mouseGrabber()) {
        grabber->releaseMouse();
    }
    if (!m_filtering) {
        qApp->installEventFilter(this);
        m_filtering = true;
    }
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible()) {
            cover(window);
        }
    }
}

void LockScreenController::cover(QWidget* window)
{
    if (!window || qobject_cast<LockScreen*>(window) || window->windowType() == Qt::ToolTip ||
        window->findChild<LockScreen*>(QString(), Qt::FindDirectChildrenOnly)) {
        return;
    }
    auto* screen = new LockScreen(window);
    // The title may name hosts; the taskbar shows the lock instead.
    window->setProperty(kTitleBeforeLock, window->windowTitle());
    window->setWindowTitle(lockedTitle());
    // A native child (an embedded client's window) is stacked above anything drawn by Qt: the cover
    // must be a native window too to lie above it.
    const QList<QWidget*> children = window->findChildren<QWidget*>();
    if (std::any_of(children.begin(), children.end(),
                    [screen](QWidget* child) { return child != screen && child->internalWinId() != 0; })) {
        screen->setAttribute(Qt::WA_NativeWindow);
        screen->raise();
    }
    connect(screen, &LockScreen::unlockRequested, this, &LockScreenController::requestUnlock);
    connect(screen, &LockScreen::forgotRequested, this, [this, screen] {
        if (m_forgotten && !m_inForgotten) {
            // Its questions are modal windows of their own: they must not be covered or blocked.
            m_inForgotten = true;
            m_forgotten(screen->window());
            m_inForgotten = false;
        }
    });
    m_screens.append(screen);
    const bool waiting = m_lock->isUnlocking() || m_lock->retryDelayMs() > 0;
    screen->setAccepting(!waiting);
    if (window->isActiveWindow() || window == QApplication::activeWindow()) {
        screen->focusPassword();
    }
}

void LockScreenController::requestUnlock(const QString& password)
{
    if (!m_lock->unlock(password)) {
        updateWaiting();
        return;
    }
    setAllAccepting(false, QStringLiteral("正在验证主密码…"));
}

void LockScreenController::onUnlockFailed(qint64 retryDelayMs)
{
    Q_UNUSED(retryDelayMs);
    updateWaiting();
}

void LockScreenController::updateWaiting()
{
    const qint64 left = m_lock->retryDelayMs();
    if (left <= 0) {
        m_waitTimer.stop();
        setAllAccepting(true, m_lock->failedAttempts() > 0 ? QStringLiteral("主密码不正确，请重新输入。")
                                                           : QString());
        return;
    }
    const qint64 seconds = (left + 999) / 1000;
    setAllAccepting(false, QStringLiteral("主密码不正确，请在 %1 秒后重试。").arg(seconds));
    if (!m_waitTimer.isActive()) {
        m_waitTimer.start();
    }
}

void LockScreenController::setAllAccepting(bool accepting, const QString& message)
{
    for (LockScreen* screen : lockScreens()) {
        screen->setMessage(message);
        screen->setAccepting(accepting);
    }
}

void LockScreenController::onUnlocked()
{
    m_waitTimer.stop();
    if (m_filtering) {
        qApp->removeEventFilter(this);
        m_filtering = false;
    }
    for (LockScreen* screen : lockScreens()) {
        QWidget* window = screen->parentWidget();
        if (window->windowTitle() == lockedTitle()) {
            window->setWindowTitle(window->property(kTitleBeforeLock).toString());
        }
        window->setProperty(kTitleBeforeLock, QVariant());
        screen->hide();
        screen->deleteLater();
    }
    m_screens.clear();
    if (m_focusBeforeLock) {
        m_focusBeforeLock->window()->activateWindow();
        m_focusBeforeLock->setFocus(Qt::OtherFocusReason);
    }
    m_focusBeforeLock.clear();
}

bool LockScreenController::isInsideLockScreen(QObject* object)
{
    for (QObject* at = object; at; at = at->parent()) {
        if (qobject_cast<LockScreen*>(at)) {
            return true;
        }
    }
    return false;
}

bool LockScreenController::isInputEvent(int type)
{
    // What the user does to a widget, besides the input that also keeps the program awake.
    switch (type) {
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
        return true;
    default:
        return IdleLockTimer::isUserInput(type);
    }
}

bool LockScreenController::eventFilter(QObject* watched, QEvent* event)
{
    if (!m_lock->isLocked() || m_inForgotten) {
        return false;
    }
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->isWindow()) {
            cover(widget);
        }
        return false;
    }
    // Input reaches a window object first and its widgets next: it is stopped at the widgets, so that
    // the lock screens still get theirs. Shortcuts go to actions, which are not widgets.
    if (!isInputEvent(event->type())) {
        return false;
    }
    if (event->type() == QEvent::Shortcut) {
        return !isInsideLockScreen(watched);
    }
    return watched->isWidgetType() && !isInsideLockScreen(watched);
}
