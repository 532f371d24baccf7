#pragma once

#include <functional>

struct FreeRdpSessionState;
struct rdp_freerdp;

// Connects a dropped FreeRDP session again, as the [connection] settings ask: up to the set number of
// attempts, each after the set pause, through a new connection of the same FreeRDP instance (with the
// server's auto-reconnect cookie where it gave one, else the credentials still in the settings). A session
// the server ended on purpose (a logoff, an administrator, another user taking it over) is not connected
// again. Runs on the session's worker; a stop ends the pause and the attempt under way.
class FreeRdpReconnect
{
public:
    enum class Outcome {
        Reconnected,  // up again
        NotAttempted, // reconnecting is off, or the server ended the session on purpose
        Stopped,      // the session was stopped meanwhile
        GaveUp        // every attempt failed
    };

    struct Hooks
    {
        std::function<void(int attempt, int attempts)> attempting; // before each attempt's pause
        std::function<void()> wipePassword;                        // a wipe was asked for during a pause
    };

    static Outcome run(FreeRdpSessionState& state, rdp_freerdp* instance, const Hooks& hooks);

private:
    // Waits `ms` unless the session is stopped first (true then), doing what is asked meanwhile.
    static bool pauseUnlessStopped(FreeRdpSessionState& state, unsigned ms, const Hooks& hooks);
};
