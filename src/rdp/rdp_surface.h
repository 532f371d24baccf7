#pragma once

#include <QImage>
#include <QLabel>
#include <QRect>
#include <QRegion>
#include <QSize>

// Shows the latest remote frame scaled to fit (letterboxed, aspect kept), or its text when there is none;
// a frame that is no longer live is shown faded under the text.
// The scaled frame is kept between paints and redone only where the frame changed or the size did.
class RdpSurface : public QLabel
{
    Q_OBJECT
public:
    explicit RdpSurface(QWidget* parent = nullptr);

    const QImage& image() const { return m_image; }
    void setImage(const QImage& image);
    // `image` differs from the image shown so far only within `changed` (in image coordinates).
    void setImage(const QImage& image, const QRegion& changed);

    // Dimmed: the picture is no longer live; it is drawn faded with the label's text over it.
    void setDimmed(bool dimmed);
    bool isDimmed() const { return m_dimmed; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Where an image of imageSize is drawn in a widget of widgetSize: scaled to fit and centred.
    static QRect imageRect(QSize widgetSize, QSize imageSize);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Brings the scaled frame up to date for a target of `pixels` device pixels.
    void updateScaled(QSize pixels, qreal ratio);
    // The part of a target of `pixels` that shows `area` of the image, with a pixel to spare around it.
    QRect scaledArea(const QRect& area, QSize pixels) const;

    QImage m_image;
    QImage m_scaled;
    // What m_scaled does not show yet of m_image; all of it when m_scaledValid is false.
    QRegion m_stale;
    bool m_scaledValid = false;
    bool m_dimmed = false;
};
