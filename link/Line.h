// What every line of ours has in common, whatever carries the bytes: a serial port, a
// converter's TCP port, the emulator's bus or a recorded trace. One set of failure codes
// beside the reply check's, one verdict on each attempt, one set of counters over the line's
// life and one retry setting, so that the command line prints every line with one printer
// and the forecourt reads every line's health the same way.
//
// A reply that the reply check accepts but that stopped before the length asked for (a
// well-formed shorter frame) is a failed attempt with line_code::kShortReply and the bad
// link state, tried again like a rejected one: the driver reads its fields at fixed places,
// so the missing bytes would be read as zeros and reported as a success.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "driver/HostLink.h"

namespace fuel {

// The lines' own failure codes, apart from the reply check's (223, 219, 209, 222).
namespace line_code {
inline constexpr std::int32_t kSilence = 1000;          // no reply byte within the time-out
inline constexpr std::int32_t kPortUnavailable = 1001;  // did not open or connect, or failed
inline constexpr std::int32_t kNoPort = 1002;           // nothing on the channel: no port, no bus
inline constexpr std::int32_t kBadRequest = 1003;       // empty frame, or no reply asked for
inline constexpr std::int32_t kUnjudged = 1004;         // no reply check, or it gave no code
inline constexpr std::int32_t kBadSettings = 1005;      // the port refused the line settings
inline constexpr std::int32_t kShortReply = 1006;       // accepted, yet shorter than asked for
inline constexpr std::int32_t kNoInitializer = 1007;    // reopened without a line initializer
}  // namespace line_code

// A short description of any code a line returns: 0, the reply check's codes and the above.
std::string_view DescribeLineCode(std::int32_t code);

// How many times a line sends one request: the first send and the retries after silence, a
// rejected reply or a short one.
struct RetryPolicy {
    static constexpr int kDefaultAttempts = 3;
    // Ten retries at the most: a line that has not answered by then will not, and every
    // attempt holds the driver for a reply time-out or more.
    static constexpr int kMaxRetries = 10;
    static constexpr int kMaxAttempts = kMaxRetries + 1;
    int attempts = kDefaultAttempts;

    // N retries after the first send.
    static constexpr RetryPolicy WithRetries(int retries) { return RetryPolicy{retries + 1}; }
};

// The word on one attempt, as the line's trace hook hands it over.
struct AttemptVerdict {
    bool received = false;   // at least one byte arrived
    bool accepted = false;   // the exchange succeeded with this attempt
    bool checked = false;    // the reply check was asked
    std::int32_t code = 0;   // the channel error after the attempt (0, 223 ... or line_code)
    std::int32_t state = 0;  // the channel state after the attempt (1 or 3)
    std::uint8_t receivedCount = 0;
    std::uint8_t expectedCount = 0;
    int attempt = 1;                      // 1 for the first try, 2 for the first retry ...
    std::chrono::nanoseconds wireTime{};  // this attempt's time on the line, where known
    std::string_view fault{};             // the fault an emulated controller shaped it with
};

// Health of a line over its life.
struct LineCounters {
    using Duration = std::chrono::nanoseconds;
    std::uint64_t exchanges = 0;  // Transact calls
    std::uint64_t attempts = 0;   // frames sent: exchanges and retries
    std::uint64_t retries = 0;
    std::uint64_t accepted = 0;      // exchanges that returned 0
    std::uint64_t failed = 0;        // exchanges that returned non-zero
    std::uint64_t timeouts = 0;      // attempts that saw no byte in time
    std::uint64_t shortReplies = 0;  // attempts whose reply stopped before the length asked for
    // Attempts the reply check rejected, by its code: 223, 219, 209, 222, anything else.
    std::uint64_t rejectedBadStart = 0;
    std::uint64_t rejectedOnlyAcknowledge = 0;
    std::uint64_t rejectedNoEnd = 0;
    std::uint64_t rejectedBadChecksum = 0;
    std::uint64_t rejectedOther = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;   // bytes handed to the reply check
    std::uint64_t bytesDiscarded = 0;  // stale or surplus bytes dropped
    std::uint64_t portFailures = 0;    // opens that failed and ports that went away
    std::uint64_t opens = 0;
    // The bytes' own time at the line's settings (the emulator's line model, or a serial
    // port's baud rate); time measured from each send to the end of its attempt, on a serial
    // port and through a converter's network connection.
    Duration wireTime{};
    Duration serialTime{};
    Duration networkTime{};
    struct {
        Duration total{};
        Duration min = Duration::max();
        Duration max{};
    } latency;  // accepted exchanges, first send to verdict

    std::uint64_t Rejected() const {
        return rejectedBadStart + rejectedOnlyAcknowledge + rejectedNoEnd + rejectedBadChecksum +
               rejectedOther;
    }
};

// A HostLink of ours: counters and trace hooks beside the host's operations.
class Line : public HostLink {
  public:
    const LineCounters& Counters() const { return counters_; }
    void ResetCounters() { counters_ = LineCounters{}; }

    // Trace hooks: every frame as sent (each attempt), every reply with the verdict on it
    // (silence shows as an empty reply).
    std::function<void(std::uint32_t channel, std::span<const std::uint8_t> frame, int attempt)>
        onFrame;
    std::function<void(std::uint32_t channel, std::span<const std::uint8_t> reply,
                       const AttemptVerdict& verdict)>
        onReply;

  protected:
    // Judges a reply that came (at least one byte): the channel's reply check first, then
    // the rule every line keeps beyond it, that a reply shorter than asked for is no success
    // however sound its frame. Leaves the channel's error and state as the attempt ends
    // (state 1 only when accepted), counts a short or rejected reply, and returns the
    // verdict; the attempt's number and times are the caller's to fill in.
    AttemptVerdict Judge(std::uint32_t channel, const ReplyHandler& check, std::uint8_t* reply,
                         std::int32_t high, std::uint8_t received, std::uint8_t expected);
    // Before each attempt: should anything raise before its verdict (the reply check, a
    // trace hook), the caller asks for the channel's error and must not find the last
    // exchange's 0 there.
    void BeginAttempt(std::uint32_t channel);
    // An exchange's end: accepted or failed, and an accepted one's latency.
    void CountExchange(bool accepted, LineCounters::Duration latency);
    // A reply the check rejected, under its code.
    void CountRejection(std::int32_t code);

    LineCounters counters_;
};

}  // namespace fuel
