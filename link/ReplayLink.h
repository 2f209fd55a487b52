// A HostLink that answers from a trace: each exchange the driver asks for is served the next
// recorded one, with every reply the recorded line had the reply check judge, and the
// recorded buffer, result and link state. The driver's own reply check judges those replies
// again, so a driver of another version, with other options or given doctored replies, may
// decide otherwise; where its verdicts differ from the recorded ones the link's answer is
// rebuilt as every line of ours gives it: 0 once a reply of the length asked for is accepted,
// else the last code (a short reply the check accepts is line_code::kShortReply). A frame
// with nothing recorded for it meets silence.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <vector>

#include "driver/HostLink.h"
#include "link/Line.h"

namespace fuel {

struct RecordedCheck {
    std::vector<std::uint8_t> bytes;  // what the check could read
    std::uint8_t received = 0;
    std::uint8_t expected = 0;
    std::int32_t high = 0;
    std::optional<std::int32_t> code;  // none: the check raised a range error
};

struct RecordedExchange {
    std::size_t line = 0;  // where the trace has it
    std::uint32_t channel = 0;
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> reply;  // the driver's buffer after the link's call
    std::vector<RecordedCheck> checks;
    std::int32_t result = 0;
    std::int32_t state = 1;
    bool raised = false;
};

// What the recorded line raised, raised again.
class ReplayedFault : public std::runtime_error {
  public:
    ReplayedFault() : std::runtime_error("the recorded line raised an exception here") {}
};

class ReplayLink final : public Line {
  public:
    // The exchanges and line-settings results of one operation, in order.
    void Serve(std::vector<RecordedExchange> exchanges, std::vector<std::int32_t> configureResults);

    // One Transact as it went.
    struct Served {
        std::vector<std::uint8_t> frame;
        std::optional<std::size_t> recorded;  // index into the exchanges given to Serve
        bool verdictsDiffer = false;          // the driver judged a recorded reply otherwise
    };
    const std::vector<Served>& Log() const { return log_; }
    // Recorded exchanges the driver did not ask for.
    std::size_t Unserved() const { return queue_.size(); }

    std::int32_t GetChannelError(std::uint32_t channel) override;
    void SetChannelError(std::uint32_t channel, std::int32_t code) override;
    void SetChannelState(std::uint32_t channel, std::int32_t state) override;
    std::int32_t GetChannelState(std::uint32_t channel) override;
    std::int32_t Transact(std::uint32_t channel, const std::uint8_t* frame,
                          std::uint8_t frameLength, std::uint8_t* reply, std::uint8_t replyLength,
                          std::uint32_t reserved) override;
    std::int32_t ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                               std::uint32_t baudRate) override;
    void SetReplyValidator(std::uint32_t channel, ReplyHandler handler) override;
    void SetLineInitializer(std::uint32_t channel, LineInitializer handler) override;

  private:
    static std::size_t Slot(std::uint32_t channel) { return channel & 0xFF; }

    std::vector<RecordedExchange> exchanges_;
    std::deque<std::size_t> queue_;
    std::deque<std::int32_t> configureResults_;
    std::vector<Served> log_;
    std::array<std::int32_t, 256> errors_{};
    std::array<std::int32_t, 256> states_{};
    std::array<ReplyHandler, 256> validators_{};
};

}  // namespace fuel
