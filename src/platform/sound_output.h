#pragma once

#include <QString>

// Whether this machine can play sound: a sound server of the user's (PulseAudio, or PipeWire in its
// place) or a sound card that ALSA lists. FreeRDP's ALSA back end loads without either and only fails
// when the first sound arrives, which ends the session.
class SoundOutput
{
public:
    static bool available();
    // The rule on given inputs: PULSE_SERVER, the runtime folder holding the server's socket, and the
    // text of ALSA's card list (/proc/asound/cards).
    static bool available(const QString& pulseServer, const QString& runtimeDirectory,
                          const QString& alsaCards);
};
