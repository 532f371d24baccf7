#pragma once

#include "platform/clock.h"

// A clock the test moves by hand.
class ManualClock : public IClock
{
public:
    qint64 nowMs() const override { return now; }
    qint64 now = 0;
};
