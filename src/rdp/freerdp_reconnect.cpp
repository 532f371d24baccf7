#include "rdp/freerdp_reconnect.h"

#include "rdp/freerdp_session.h"

#include <QDeadlineTimer>

#include <freerdp/freerdp.h>
#include <winpr/synch.h>

#include <mutex>

FreeRdpReconnect::Outcome FreeRdpReconnect::run(FreeRdpSessionState& state, rdp_freerdp* instance,
                                                const Hooks& hooks)
{
    if (state.stopRequested.load()) {
        return Outcome::Stopped;
    }
    const int attempts = state.reconnectAttempts;
    // Error info is set only by the server's own reason for ending it; a network loss leaves none.
    if (attempts <= 0 || !instance || freerdp_error_info(instance) != 0) {
        return Outcome::NotAttempted;
    }
    state.connected.store(false);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (hooks.attempting) {
            hooks.attempting(attempt, attempts);
        }
        if (pauseUnlessStopped(state, state.reconnectPauseMs.load(), hooks)) {
            return Outcome::Stopped;
        }
        {
            // As for the first connect: a stop from now on aborts the attempt.
            std::lock_guard lock(state.connectMutex);
            if (state.stopRequested.load()) {
                return Outcome::Stopped;
            }
            state.connecting = true;
            state.abortIssued = false;
        }
        // A new connection rather than FreeRDP's own reconnect, which in 2.11 leaves the sound channel
        // without its queue, so the first sound after it ends the session. The server's auto-reconnect
        // cookie goes with a new connection as well.
        freerdp_disconnect(instance);
        const bool up = freerdp_connect(instance);
        {
            std::lock_guard lock(state.connectMutex);
            state.connecting = false;
        }
        if (state.stopRequested.load()) {
            return Outcome::Stopped;
        }
        if (up) {
            state.connected.store(true);
            return Outcome::Reconnected;
        }
    }
    return Outcome::GaveUp;
}

bool FreeRdpReconnect::pauseUnlessStopped(FreeRdpSessionState& state, unsigned ms, const Hooks& hooks)
{
    const QDeadlineTimer deadline(static_cast<qint64>(ms));
    for (;;) {
        // Reset before the flags are looked at: what comes after sets it again.
        ResetEvent(state.wakeEvent);
        if (state.stopRequested.load()) {
            return true;
        }
        if (state.wipeRequested.exchange(false) && hooks.wipePassword) {
            hooks.wipePassword();
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            return false;
        }
        // Input queued meanwhile wakes it too; it waits in the queue for the session to be up again.
        WaitForSingleObject(state.wakeEvent, static_cast<DWORD>(left));
    }
}
