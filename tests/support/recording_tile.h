#pragma once

#include "rdp/freerdp_session.h"
#include "rdp/rdp_tile.h"

#include <QList>
#include <QSize>

#include <utility>

// A tile whose FreeRDP session never leaves the process: starts, stops and input are recorded, and the
// test plays the session's part by emitting its signals.
class RecordingTile : public RdpTile
{
public:
    using RdpTile::RdpTile;

    struct Start
    {
        Remote target;
        QSize desktopSize;
        bool ignoreCertificate;
        bool legacySecurity;
        int colorDepth;
    };

    QList<Start> starts;
    QList<InputEvent> input;
    int stops = 0;
    bool running = false;
    bool refuseStart = false;

    FreeRdpSession* session() const { return findChild<FreeRdpSession*>(); }

    // The tiles of a window whose tile factory makes recording tiles.
    static QList<RecordingTile*> all(const QList<RdpTile*>& tiles)
    {
        QList<RecordingTile*> result;
        for (RdpTile* tile : tiles) {
            result.append(static_cast<RecordingTile*>(tile));
        }
        return result;
    }

    // The session reports that it is connected.
    void connectNow()
    {
        running = true;
        emit session()->connected();
    }

    // The session ends on its own, as after a failure.
    void endSession()
    {
        running = false;
        emit session()->disconnected();
    }

    QList<InputEvent> takeInput() { return std::exchange(input, {}); }

protected:
    bool startFreeRdp(const Remote& target, QSize desktopSize, bool ignoreCertificate, bool legacySecurity,
                      int colorDepth) override
    {
        starts.append({target, desktopSize, ignoreCertificate, legacySecurity, colorDepth});
        if (refuseStart || running) {
            return false;
        }
        running = true;
        return true;
    }

    void stopFreeRdp() override
    {
        ++stops;
        if (!running) {
            return;
        }
        // The real session reports its end from the event loop once its worker has finished.
        running = false;
        QMetaObject::invokeMethod(
            session(), [s = session()] { emit s->disconnected(); }, Qt::QueuedConnection);
    }

    bool freeRdpRunning() const override { return running; }
    void sendFreeRdpInput(const InputEvent& event) override { input.append(event); }
};
