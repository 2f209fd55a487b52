// The one time-out of a session: every wait of a connection (the TLS handshake, a request
// arriving, an answer or an event being written, a goodbye) is armed with its time, and on
// expiry the session's action runs (cancel the socket's operations, or close). An expiry
// already on its way when its wait ended belongs to that wait alone: each Arm numbers its
// wait, and an older number is ignored, so that it cannot cut the next wait short.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>

#include "http/session/Network.h"

namespace fuel::http {

class Deadline {
  public:
    explicit Deadline(const net::any_io_executor& executor) : timer_(executor) {}

    // onExpiry is called on the timer's executor unless Disarm or the next Arm comes first;
    // it must hold the session weakly.
    template <typename OnExpiry>
    void Arm(std::chrono::steady_clock::duration wait, OnExpiry onExpiry) {
        const std::uint64_t serial = ++state_->serial;
        state_->expired = false;
        timer_.expires_after(wait);
        // The state, not this: the handler may run after the session (and the timer) are gone.
        timer_.async_wait(
            [state = state_, serial, onExpiry = std::move(onExpiry)](beast::error_code error) {
                if (error || serial != state->serial)
                    return;
                state->expired = true;
                onExpiry();
            });
    }
    void Disarm() {
        ++state_->serial;
        timer_.cancel();
    }
    // Whether the last wait armed ran out.
    bool Expired() const { return state_->expired; }

  private:
    struct State {
        std::uint64_t serial = 0;
        bool expired = false;
    };
    net::steady_timer timer_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace fuel::http
