// A wait for something another process or thread makes true: looked at every 10 ms until it
// holds or the time is up.
#pragma once

#include <chrono>
#include <thread>

namespace fuel::test {

// Whether done() held within `wait` (looked at once more at the end).
template <class Done>
bool Eventually(Done done, std::chrono::milliseconds wait = std::chrono::seconds(30)) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < until) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

}  // namespace fuel::test
