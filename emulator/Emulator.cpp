// Being written: the controllers' answers, fills and faults.
#include "emulator/Emulator.h"

#include <thread>

namespace fuel::emulator {

RealClock::RealClock(bool pace) : start_(std::chrono::steady_clock::now()), pace_(pace) {}

Duration RealClock::Now() const {
    return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now() - start_);
}

void RealClock::Advance(Duration d) {
    if (pace_ && d > Duration::zero()) {
        std::this_thread::sleep_for(d);
    }
}

}  // namespace fuel::emulator
