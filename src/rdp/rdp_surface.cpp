#include "rdp/rdp_surface.h"

#include <QColor>
#include <QPaintEvent>
#include <QPainter>

#include <cmath>
#include <vector>

namespace {

const QColor kBackground(0x09, 0x0f, 0x18);
// Laid over a picture that is no longer live: most of the background colour, a little of the picture.
const QColor kDimming(0x09, 0x0f, 0x18, 190);
// Beyond this many rectangles the area still to be scaled is kept as its bounding rectangle.
constexpr int kMaxStaleRects = 16;

// Scales `source` to the size of `target`, for the pixels of `area` of target only. Unsmoothed, so that
// text on the remote desktop stays crisp. Each target pixel takes the source pixel under its centre,
// computed exactly from its own position: a part scaled alone matches the same part of a whole scale.
void scaleNearest(QImage& target, const QImage& source, const QRect& area)
{
    const qint64 sourceWidth = source.width();
    const qint64 sourceHeight = source.height();
    const qint64 targetWidth = target.width();
    const qint64 targetHeight = target.height();
    std::vector<int> columns(size_t(area.width()));
    for (int i = 0; i < area.width(); ++i) {
        columns[size_t(i)] = int((2 * qint64(area.left() + i) + 1) * sourceWidth / (2 * targetWidth));
    }
    uchar* bits = target.bits();
    const qsizetype stride = target.bytesPerLine();
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const int row = int((2 * qint64(y) + 1) * sourceHeight / (2 * targetHeight));
        const auto* from = reinterpret_cast<const QRgb*>(source.constScanLine(row));
        auto* to = reinterpret_cast<QRgb*>(bits + y * stride) + area.left();
        for (size_t i = 0; i < columns.size(); ++i) {
            to[i] = from[columns[i]];
        }
    }
}

} // namespace

RdpSurface::RdpSurface(QWidget* parent) : QLabel(parent) {}

void RdpSurface::setImage(const QImage& image)
{
    // The same frame again (after a resize, say) keeps what is scaled already.
    if (image.isNull() || image.cacheKey() != m_image.cacheKey()) {
        m_image = image;
        m_scaledValid = false;
        m_stale = QRegion();
        if (m_image.isNull()) {
            m_scaled = QImage();
        }
    }
    update();
}

void RdpSurface::setImage(const QImage& image, const QRegion& changed)
{
    if (!m_scaledValid || m_image.isNull() || image.isNull() || image.size() != m_image.size()) {
        setImage(image);
        return;
    }
    m_image = image;
    const QRegion area = changed & image.rect();
    if (area.isEmpty()) {
        return;
    }
    m_stale += area;
    if (m_stale.rectCount() > kMaxStaleRects) {
        m_stale = m_stale.boundingRect();
    }
    // Only the widget area that shows the change is repainted; it is scaled when painted, so a tile
    // out of view costs nothing.
    const QRect target = imageRect(size(), m_image.size());
    QRegion repaint;
    for (const QRect& rect : area) {
        repaint += scaledArea(rect, target.size()).translated(target.topLeft());
    }
    update(repaint);
}

void RdpSurface::setDimmed(bool dimmed)
{
    if (dimmed != m_dimmed) {
        m_dimmed = dimmed;
        update();
    }
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

QRect RdpSurface::scaledArea(const QRect& area, QSize pixels) const
{
    const qreal sx = qreal(pixels.width()) / m_image.width();
    const qreal sy = qreal(pixels.height()) / m_image.height();
    const QRect scaled(
        QPoint(int(std::floor(area.left() * sx)) - 1, int(std::floor(area.top() * sy)) - 1),
        QPoint(int(std::ceil((area.right() + 1) * sx)), int(std::ceil((area.bottom() + 1) * sy))));
    return scaled & QRect(QPoint(0, 0), pixels);
}

void RdpSurface::updateScaled(QSize pixels, qreal ratio)
{
    QRegion area;
    if (!m_scaledValid || m_scaled.size() != pixels) {
        if (m_scaled.size() != pixels) {
            m_scaled = QImage(pixels, QImage::Format_RGB32);
        }
        area = QRect(QPoint(0, 0), pixels);
    } else {
        for (const QRect& rect : m_stale) {
            area += scaledArea(rect, pixels);
        }
    }
    m_stale = QRegion();
    m_scaledValid = true;
    if (area.isEmpty()) {
        return;
    }
    const QImage source =
        m_image.format() == QImage::Format_RGB32 ? m_image : m_image.convertToFormat(QImage::Format_RGB32);
    m_scaled.setDevicePixelRatio(1);
    for (const QRect& rect : area) {
        scaleNearest(m_scaled, source, rect);
    }
    m_scaled.setDevicePixelRatio(ratio);
}

void RdpSurface::paintEvent(QPaintEvent* event)
{
    if (m_image.isNull()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    const QRect target = imageRect(size(), m_image.size());
    // The letterbox bars: whatever of the repainted area the frame does not cover.
    for (const QRect& bar : event->region() - target) {
        painter.fillRect(bar, kBackground);
    }
    if (target.isEmpty()) {
        return;
    }
    const qreal ratio = devicePixelRatioF();
    const QSize pixels(qRound(target.width() * ratio), qRound(target.height() * ratio));
    updateScaled(pixels, ratio);
    painter.drawImage(target.topLeft(), m_scaled);
    if (m_dimmed) {
        painter.fillRect(target, kDimming);
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(contentsRect().adjusted(8, 8, -8, -8), int(alignment()) | Qt::TextWordWrap, text());
    }
}
