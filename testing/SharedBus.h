// An emulated bus that a test shares with a forecourt's poll loop: the loop's line takes a
// lock around every call, and the test takes the same lock to act as the people at the pumps
// (lift, hang up) or to look at the controllers, so the two never meet inside the emulator.
// The bus runs on a virtual clock that the line's exchanges move, so fills flow as fast as
// the loop polls. A test may also rewrite a request's data on its way to the bus, as a
// controller that takes a command wrongly would.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "emulator/Emulator.h"
#include "forecourt/Lines.h"
#include "link/EmulatorLink.h"

namespace fuel::test {

class SharedBus {
  public:
    explicit SharedBus(emulator::Config config);

    template <typename F>
    auto With(F act) {
        std::lock_guard lock(mutex_);
        return act(bus_);
    }
    // The line for a forecourt (Options::openLine); the bus must outlive it.
    forecourt::OpenedLine Open();

    // Called under the lock with each request's data (nozzle code, letter, fields) before
    // the bus sees it; the frame is sealed again afterwards.
    std::function<void(std::vector<std::uint8_t>& data)> rewrite;
    // Called under the lock after each exchange with the request as sent and the reply as
    // it came (empty when the exchange failed).
    std::function<void(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> reply)>
        watch;
    // Set under the lock; the number of requests that reached the bus.
    std::uint64_t requests = 0;
    // How much faster than the wall clock the bus's clock may run: the line waits when it
    // gets further ahead, so that a test acting "during a fill" acts during it.
    double speed = 20;

  private:
    class Line;
    // Recursive: the reply check that the bus's link calls inside an exchange reports back
    // through this same line.
    std::recursive_mutex mutex_;
    emulator::Emulator bus_;
    EmulatorLink link_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace fuel::test
