#pragma once

#include <QtGlobal>

// A source of monotonic time, so code that waits for minutes can be tested without waiting.
class IClock
{
public:
    virtual ~IClock() = default;

    // Milliseconds since an arbitrary fixed point; never goes back (wall clock changes do not move it).
    virtual qint64 nowMs() const = 0;
};

// The system's steady clock, shared by the whole process.
const IClock& steadyClock();
