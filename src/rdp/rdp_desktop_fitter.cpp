#include "rdp/rdp_desktop_fitter.h"

#include <QEvent>
#include <QWidget>

#include <cmath>
#include <cstdlib>

RdpDesktopFitter::RdpDesktopFitter(QWidget* view, QObject* parent) : QObject(parent), m_view(view)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, &RdpDesktopFitter::settle);
    view->installEventFilter(this);
}

void RdpDesktopFitter::setEnabled(bool enabled)
{
    m_enabled = enabled;
    if (enabled) {
        m_settle.start();
    } else {
        m_settle.stop();
    }
}

QSize RdpDesktopFitter::viewSize() const
{
    const qreal ratio = m_view->devicePixelRatioF();
    const int width = static_cast<int>(std::lround(m_view->width() * ratio)) & ~1;
    return {width, static_cast<int>(std::lround(m_view->height() * ratio))};
}

void RdpDesktopFitter::settle()
{
    m_settle.stop();
    if (!m_enabled || !m_view->isVisible()) {
        return;
    }
    const QSize wanted = viewSize();
    if (wanted.isEmpty() || (std::abs(wanted.width() - m_current.width()) < kMinChange &&
                             std::abs(wanted.height() - m_current.height()) < kMinChange)) {
        return;
    }
    emit sizeWanted(wanted);
}

bool RdpDesktopFitter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_view && m_enabled &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
        m_settle.start();
    }
    return QObject::eventFilter(watched, event);
}
