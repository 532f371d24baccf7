#include "platform/clock.h"

#include <chrono>

namespace {

class SteadyClock final : public IClock
{
public:
    qint64 nowMs() const override
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
};

} // namespace

const IClock& steadyClock()
{
    static const SteadyClock clock;
    return clock;
}
