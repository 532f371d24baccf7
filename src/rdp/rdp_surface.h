#pragma once

#include <QImage>
#include <QLabel>
#include <QRect>
#include <QSize>

// Shows the latest remote frame scaled to fit (letterboxed, aspect kept), or its text when there is none.
class RdpSurface : public QLabel
{
    Q_OBJECT
public:
    explicit RdpSurface(QWidget* parent = nullptr);

    const QImage& image() const { return m_image; }
    void setImage(const QImage& image);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Where an image of imageSize is drawn in a widget of widgetSize: scaled to fit and centred.
    static QRect imageRect(QSize widgetSize, QSize imageSize);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_image;
};
