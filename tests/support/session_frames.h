#pragma once

#include "rdp/freerdp_session.h"

#include <QImage>
#include <QRect>
#include <QSignalSpy>

// Hands frames to a session the way its worker does.
class FreeRdpSessionTestAccess
{
public:
    static void storeFrame(FreeRdpSession& session, const QImage& image, const QRect& dirty)
    {
        session.storeFrame(image, dirty);
    }
};

// `frame` painted all over, as the session's worker would; true once the session handed it over.
inline bool deliverFrame(FreeRdpSession& session, const QImage& frame)
{
    QSignalSpy delivered(&session, &FreeRdpSession::frameReady);
    FreeRdpSessionTestAccess::storeFrame(session, frame, QRect());
    return delivered.wait(5000) || !delivered.isEmpty();
}
