#pragma once

#include <QObject>
#include <QSize>
#include <QTimer>

class QWidget;

// Keeps a remote desktop the size of the view that shows it (a zoomed tile, a single-session window):
// once a resize of the view has settled, it asks for the view's size in device pixels. Tiles of a wall
// keep the size the wall chose.
class RdpDesktopFitter : public QObject
{
    Q_OBJECT
public:
    static constexpr int kSettleMs = 400;
    // Smaller changes are not worth a new desktop.
    static constexpr int kMinChange = 8;

    explicit RdpDesktopFitter(QWidget* view, QObject* parent = nullptr);

    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    // The size the remote desktop has now (or was asked for last).
    void setCurrentSize(QSize size) { m_current = size; }
    // The view's size in device pixels, even in width as display control wants it.
    QSize viewSize() const;
    // Looks at the view now instead of when the settle time runs out (a test, or a caller that knows).
    void settle();

signals:
    void sizeWanted(QSize size);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_view;
    QTimer m_settle;
    QSize m_current;
    bool m_enabled = false;
};
