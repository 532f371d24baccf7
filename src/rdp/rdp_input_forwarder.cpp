#include "rdp/rdp_input_forwarder.h"

#include "rdp/key_translator.h"
#include "rdp/rdp_tile.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>

bool RdpInputForwarder::handle(QEvent* event)
{
    const auto map = [this](const QPointF& position) {
        return RdpTile::mapToRemote(position.toPoint(), m_surface->size(), m_frameSize());
    };
    switch (event->type()) {
    case QEvent::MouseMove: {
        const auto point = map(static_cast<QMouseEvent*>(event)->position());
        if (!point) {
            return false;
        }
        m_lastPosition = *point;
        m_send({InputEvent::MouseMove, point->x(), point->y(), 0, 0, {}});
        return true;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        // A plain double-click reaches the remote side as another press.
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const auto point = map(mouse->position());
        if (!point) {
            return false;
        }
        m_lastPosition = *point;
        m_surface->setFocus(Qt::MouseFocusReason);
        const int button = static_cast<int>(mouse->button());
        m_pressedButtons.insert(button);
        if (m_surface->isVisible()) {
            m_surface->grabMouse();
        }
        m_send({InputEvent::MouseButton, button, 1, point->x(), point->y(), {}});
        return true;
    }
    case QEvent::MouseButtonRelease: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (const auto point = map(mouse->position())) {
            m_lastPosition = *point;
        }
        const int button = static_cast<int>(mouse->button());
        m_pressedButtons.remove(button);
        if (m_lastPosition.x() < 0) {
            return false;
        }
        // Released outside the frame: at the last position, so the remote side never keeps it held.
        m_send({InputEvent::MouseButton, button, 0, m_lastPosition.x(), m_lastPosition.y(), {}});
        if (m_pressedButtons.isEmpty()) {
            releaseMouseGrab();
        }
        return true;
    }
    case QEvent::Wheel: {
        const auto* wheel = static_cast<QWheelEvent*>(event);
        const auto point = map(wheel->position());
        if (!point) {
            return false;
        }
        m_send({InputEvent::Wheel, wheel->angleDelta().y(), point->x(), point->y(), 0, {}});
        return true;
    }
    case QEvent::ShortcutOverride:
        // Keys for the remote desktop, not for the local window's shortcuts.
        event->accept();
        return true;
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool pressed = event->type() == QEvent::KeyPress;
        const TranslatedKey translated = KeyTranslator::translate(*key);
        if (!translated.isValid()) {
            if (pressed && !key->text().isEmpty()) {
                m_send({InputEvent::Text, 0, 0, 0, 0, key->text()});
            }
            return true;
        }
        if (!pressed && key->isAutoRepeat()) {
            // X11 reports auto-repeat as release/press pairs; the remote side expects repeated presses
            // only, as from a Windows keyboard.
            return true;
        }
        m_send({InputEvent::Key,
                translated.virtualKey,
                translated.scanCode,
                pressed ? 1 : 0,
                key->isAutoRepeat() ? 1 : 0,
                {}});
        const QPair<int, int> pair(translated.virtualKey, translated.scanCode);
        if (!pressed) {
            m_pressedKeys.remove(pair);
        } else if (!key->isAutoRepeat()) {
            m_pressedKeys.insert(pair);
        }
        return true;
    }
    case QEvent::InputMethod: {
        const QString text = static_cast<QInputMethodEvent*>(event)->commitString();
        if (!text.isEmpty()) {
            m_send({InputEvent::Text, 0, 0, 0, 0, text});
        }
        return true;
    }
    case QEvent::FocusOut:
        releasePressed();
        return false;
    default:
        return false;
    }
}

void RdpInputForwarder::releasePressed()
{
    for (const QPair<int, int>& key : std::as_const(m_pressedKeys)) {
        m_send({InputEvent::Key, key.first, key.second, 0, 0, {}});
    }
    if (m_lastPosition.x() >= 0) {
        for (const int button : std::as_const(m_pressedButtons)) {
            m_send({InputEvent::MouseButton, button, 0, m_lastPosition.x(), m_lastPosition.y(), {}});
        }
    }
    m_pressedKeys.clear();
    m_pressedButtons.clear();
    releaseMouseGrab();
}

void RdpInputForwarder::releaseMouseGrab()
{
    if (QWidget::mouseGrabber() == m_surface) {
        m_surface->releaseMouse();
    }
}
