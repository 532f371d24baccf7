#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class AccelerationManager;
class AccountClient;
class ScreenWallWindow;
class QMessageBox;
class QWidget;

// The main window's side of remote acceleration: the button's click, the confirmations before the
// embedded sessions are reconnected, and the manager's messages as texts for the window to show.
class AccelerationActions : public QObject
{
    Q_OBJECT

public:
    static constexpr int kStatusMs = 8000;
    static constexpr int kFallbackStatusMs = 12000;

    // `sessionWindows` lists the open session windows, oldest first.
    AccelerationActions(QWidget* window, AccountClient* account, AccelerationManager* manager,
                        std::function<QList<ScreenWallWindow*>()> sessionWindows, QObject* parent = nullptr);

    // The sessions of every open session window that are connected or connecting.
    int embeddedSessionCount() const;

public slots:
    // The acceleration button: starts the check, or switches acceleration off.
    void toggle();

signals:
    void buttonTextChanged(const QString& text);
    void stateTextChanged(const QString& text);
    // A status bar text and how long it stays.
    void statusMessage(const QString& text, int timeoutMs);

private:
    void onReadyToEnable(const QString& nodeName, int latencyMs);
    // Disconnects the embedded sessions and reconnects them one after the other over all windows, so
    // that they take the route that holds from now on.
    void reconnectEmbeddedSessions();
    // Message boxes go to the active window (a session window may cover the main one).
    QWidget* noticeParent() const;
    // Shows `text` in a box that does not block, in front of the active window.
    void showNotice(const QString& text);

    QPointer<QWidget> m_window;
    QPointer<QMessageBox> m_notice;
    AccountClient* m_account;
    AccelerationManager* m_manager;
    std::function<QList<ScreenWallWindow*>()> m_sessionWindows;
};
