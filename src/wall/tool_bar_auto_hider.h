#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

class QMainWindow;
class QToolBar;

// Shows and hides a session window's tool bar as the [display] settings say. Shown and not hiding: it
// stays. Hiding: it goes once the pointer has been off it for the delay. Not shown: it starts hidden.
// A hidden tool bar comes back while the pointer is at the window's top edge, and goes again after
// the delay.
class ToolBarAutoHider : public QObject
{
    Q_OBJECT

public:
    // The pointer is this close to the window's top for the tool bar to come back.
    static constexpr int kEdgePixels = 4;

    ToolBarAutoHider(QMainWindow* window, QToolBar* bar, bool show, bool autoHide, int delayMs);
    ~ToolBarAutoHider() override;

    // Runs out after the delay; a test may fire it early.
    QTimer* hideTimer() { return &m_hideTimer; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void reveal();
    void hideUnlessPointed();

    QPointer<QMainWindow> m_window;
    QPointer<QToolBar> m_bar;
    bool m_hides = false;
    QTimer m_hideTimer;
};
