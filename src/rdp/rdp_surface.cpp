#include "rdp/rdp_surface.h"

#include <QColor>
#include <QPainter>

RdpSurface::RdpSurface(QWidget* parent) : QLabel(parent) {}

void RdpSurface::setImage(const QImage& image)
{
    m_image = image;
    update();
}

QSize RdpSurface::sizeHint() const
{
    return {640, 360};
}

QSize RdpSurface::minimumSizeHint() const
{
    return {300, 170};
}

QRect RdpSurface::imageRect(QSize widgetSize, QSize imageSize)
{
    if (imageSize.isEmpty() || widgetSize.isEmpty()) {
        return {};
    }
    const QSize scaled = imageSize.scaled(widgetSize, Qt::KeepAspectRatio);
    return {QPoint((widgetSize.width() - scaled.width()) / 2, (widgetSize.height() - scaled.height()) / 2),
            scaled};
}

void RdpSurface::paintEvent(QPaintEvent* event)
{
    if (m_image.isNull()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0x09, 0x0f, 0x18));
    const QRect target = imageRect(size(), m_image.size());
    if (target.isEmpty()) {
        return;
    }
    // Unsmoothed: text on the remote desktop stays crisp, and the scale runs for every frame.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(target, m_image);
}
