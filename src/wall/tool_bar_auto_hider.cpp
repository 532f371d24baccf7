#include "wall/tool_bar_auto_hider.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QMainWindow>
#include <QMouseEvent>
#include <QToolBar>

ToolBarAutoHider::ToolBarAutoHider(QMainWindow* window, QToolBar* bar, bool show, bool autoHide, int delayMs)
    : QObject(window), m_window(window), m_bar(bar), m_hides(!show || autoHide)
{
    if (!m_hides || !m_window || !m_bar) {
        return;
    }
    m_hideTimer.setSingleShot(true);
    m_hideTimer.setInterval(std::max(delayMs, 0));
    connect(&m_hideTimer, &QTimer::timeout, this, &ToolBarAutoHider::hideUnlessPointed);
    m_bar->installEventFilter(this);
    // Mouse moves go to whichever widget is under the pointer: the application sees them all.
    qApp->installEventFilter(this);
    if (show) {
        m_hideTimer.start();
    } else {
        m_bar->hide();
    }
}

ToolBarAutoHider::~ToolBarAutoHider()
{
    qApp->removeEventFilter(this);
}

bool ToolBarAutoHider::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_bar) {
        if (event->type() == QEvent::Enter) {
            m_hideTimer.stop();
        } else if (event->type() == QEvent::Leave) {
            m_hideTimer.start();
        }
    } else if (event->type() == QEvent::MouseMove && m_bar && m_bar->isHidden() && m_window &&
               m_window->isVisible()) {
        const auto* move = static_cast<QMouseEvent*>(event);
        const QPoint local = m_window->mapFromGlobal(move->globalPosition().toPoint());
        if (local.y() >= 0 && local.y() < kEdgePixels && local.x() >= 0 && local.x() < m_window->width()) {
            reveal();
        }
    }
    return QObject::eventFilter(watched, event);
}

void ToolBarAutoHider::reveal()
{
    m_bar->show();
    if (!m_bar->underMouse()) {
        m_hideTimer.start();
    }
}

void ToolBarAutoHider::hideUnlessPointed()
{
    if (!m_bar) {
        return;
    }
    // A menu opened from the bar (or the pointer on it) keeps it.
    if (m_bar->underMouse() || QApplication::activePopupWidget() != nullptr) {
        m_hideTimer.start();
        return;
    }
    m_bar->hide();
}
