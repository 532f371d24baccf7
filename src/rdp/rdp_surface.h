#pragma once

#include <QImage>
#include <QLabel>
#include <QRect>
#include <QRegion>
#include <QSize>

// Shows the remote frame scaled to fit (letterboxed, aspect kept), or its text when there is none; a
// picture that is no longer live is shown faded under the text.
// Only the scaled picture is kept: each change is scaled into it as it arrives, so a session's frame lives
// in one buffer only, its own. A surface of another size asks for the whole frame again.
class RdpSurface : public QLabel
{
    Q_OBJECT
public:
    explicit RdpSurface(QWidget* parent = nullptr);

    // `frame` (the whole remote desktop) differs from the frame shown so far only within `changed` (in
    // frame coordinates); all of it counts when its size or the surface's changed. Not kept.
    void showFrame(const QImage& frame, const QRegion& changed);
    // What is shown: the frame scaled to the surface (in device pixels), and the frame's size.
    const QImage& picture() const { return m_scaled; }
    QSize frameSize() const { return m_frameSize; }

    // Dimmed: the picture is no longer live; it is drawn faded with the label's text over it.
    void setDimmed(bool dimmed);
    bool isDimmed() const { return m_dimmed; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Where an image of imageSize is drawn in a widget of widgetSize: scaled to fit and centred.
    static QRect imageRect(QSize widgetSize, QSize imageSize);

signals:
    // The picture was scaled for another size; until the whole frame comes again it is shown stretched.
    void wholeFrameNeeded();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The size in device pixels that the frame is shown at now.
    QSize pictureSize() const;
    // The part of a picture of `pixels` that shows `area` of the frame, with a pixel to spare around it.
    QRect scaledArea(const QRect& area, QSize pixels) const;

    QImage m_scaled;
    QSize m_frameSize;
    bool m_dimmed = false;
};
