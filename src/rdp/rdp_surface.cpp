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
// A change of more rectangles than this is scaled as its bounding rectangle.
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

void RdpSurface::showFrame(const QImage& frame, const QRegion& changed)
{
    if (frame.isNull()) {
        return;
    }
    const bool newFrame = frame.size() != m_frameSize;
    m_frameSize = frame.size();
    const QSize pixels = pictureSize();
    if (pixels.isEmpty()) {
        return;
    }
    // Scaled here, on arrival: the frame is the session's own buffer and is not there at paint time.
    const bool whole = newFrame || m_scaled.size() != pixels;
    QRegion area;
    if (whole) {
        if (m_scaled.size() != pixels) {
            m_scaled = QImage(pixels, QImage::Format_RGB32);
        }
        area = QRect(QPoint(0, 0), pixels);
    } else {
        const QRegion clipped = changed & frame.rect();
        if (clipped.rectCount() > kMaxStaleRects) {
            area = scaledArea(clipped.boundingRect(), pixels);
        } else {
            for (const QRect& rect : clipped) {
                area += scaledArea(rect, pixels);
            }
        }
    }
    if (area.isEmpty()) {
        return;
    }
    const QImage source =
        frame.format() == QImage::Format_RGB32 ? frame : frame.convertToFormat(QImage::Format_RGB32);
    const qreal ratio = devicePixelRatioF();
    m_scaled.setDevicePixelRatio(1);
    for (const QRect& rect : area) {
        scaleNearest(m_scaled, source, rect);
    }
    m_scaled.setDevicePixelRatio(ratio);
    // Opaque from now on: Qt paints nothing under it (the style sheet's background least of all).
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (whole) {
        update();
        return;
    }
    // Only the widget area that shows the change is repainted.
    const QRect target = imageRect(size(), m_frameSize);
    QRegion repaint;
    for (const QRect& rect : area) {
        const QRect logical(
            QPoint(int(std::floor(rect.left() / ratio)), int(std::floor(rect.top() / ratio))),
            QPoint(int(std::ceil((rect.right() + 1) / ratio)), int(std::ceil((rect.bottom() + 1) / ratio))));
        repaint += logical.translated(target.topLeft());
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

QSize RdpSurface::pictureSize() const
{
    const QRect target = imageRect(size(), m_frameSize);
    const qreal ratio = devicePixelRatioF();
    return {qRound(target.width() * ratio), qRound(target.height() * ratio)};
}

QRect RdpSurface::scaledArea(const QRect& area, QSize pixels) const
{
    const qreal sx = qreal(pixels.width()) / m_frameSize.width();
    const qreal sy = qreal(pixels.height()) / m_frameSize.height();
    const QRect scaled(
        QPoint(int(std::floor(area.left() * sx)) - 1, int(std::floor(area.top() * sy)) - 1),
        QPoint(int(std::ceil((area.right() + 1) * sx)), int(std::ceil((area.bottom() + 1) * sy))));
    return scaled & QRect(QPoint(0, 0), pixels);
}

void RdpSurface::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    if (!m_scaled.isNull() && m_scaled.size() != pictureSize()) {
        emit wholeFrameNeeded();
    }
}

void RdpSurface::paintEvent(QPaintEvent* event)
{
    if (m_scaled.isNull()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    const QRect target = imageRect(size(), m_frameSize);
    // The letterbox bars: whatever of the repainted area the frame does not cover.
    for (const QRect& bar : event->region() - target) {
        painter.fillRect(bar, kBackground);
    }
    if (target.isEmpty()) {
        return;
    }
    if (m_scaled.size() == pictureSize()) {
        painter.drawImage(target.topLeft(), m_scaled);
    } else {
        // Scaled for another size: stretched until the whole frame comes again (or for good, once the
        // session has ended).
        painter.drawImage(target, m_scaled);
    }
    if (m_dimmed) {
        painter.fillRect(target, kDimming);
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(contentsRect().adjusted(8, 8, -8, -8), int(alignment()) | Qt::TextWordWrap, text());
    }
}
