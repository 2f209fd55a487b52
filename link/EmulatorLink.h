// A HostLink that puts the driver's frames on the emulator's virtual bus instead of a port.
// It behaves as a careful serial link would: it lets a stale reply finish and drops it before
// each request, waits for the first byte up to the response timeout and for each further
// byte up to the inter-byte timeout, has every reply judged by the reply check registered
// last for the channel, retries a bounded number of times, and counts the time the exchange
// would take on a real line (10 bits a byte at the configured baud rate). The emulator's
// clock advances by that time, so fills flow while the host polls.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "driver/HostLink.h"
#include "emulator/Emulator.h"

namespace fuel {

// This link's own failure codes, apart from the reply check's (209, 219, 222, 223). Where a
// serial line has a code for the same failure, this is the same number.
namespace link_error {
inline constexpr std::int32_t kSilence = 1000;     // no byte before the response timeout
inline constexpr std::int32_t kNoBus = 1002;       // no emulator attached to the channel
inline constexpr std::int32_t kBadRequest = 1003;  // empty frame, or no reply asked for
inline constexpr std::int32_t kUnjudged = 1004;    // no reply check registered
inline constexpr std::int32_t kShortReply = 1006;  // fewer bytes than asked, yet not rejected
inline constexpr std::int32_t kNoInitializer = 1007;  // Reinitialize without an initializer
}  // namespace link_error

struct EmulatorLinkOptions {
    using Duration = emulator::Duration;
    // ConfigureLine(channel, timeout, baud) overrides the first and the last of these for
    // its channel: the driver passes 75 (milliseconds) and 4800.
    Duration responseTimeout = std::chrono::milliseconds(75);
    Duration interByteTimeout = std::chrono::milliseconds(10);
    int retries = 2;  // further attempts after a failed one
    std::uint32_t baudRate = 4800;
};

// The reply check's word on one reply, as the traces show it.
struct ReplyVerdict {
    bool received = false;      // at least one byte arrived
    bool accepted = false;      // the exchange succeeded
    bool checked = false;       // the reply check was asked
    std::int32_t code = 0;      // the channel error after the attempt (0, 209 … or link_error)
    std::int32_t state = 0;     // the channel state after the attempt (1 or 3)
    std::uint8_t receivedCount = 0;
    std::uint8_t expectedCount = 0;
    int attempt = 1;            // 1 for the first try, 2 for the first retry …
    emulator::Duration wireTime{};  // this attempt's time on the line
    std::optional<emulator::Fault> fault;  // the fault the emulator shaped the reply with
};

struct LatencyCounters {
    emulator::Duration total{};
    emulator::Duration min = emulator::Duration::max();
    emulator::Duration max{};
};

struct LinkCounters {
    std::uint64_t exchanges = 0;   // Transact calls
    std::uint64_t attempts = 0;    // frames sent (exchanges + retries)
    std::uint64_t retries = 0;
    std::uint64_t accepted = 0;    // exchanges that returned 0
    std::uint64_t failed = 0;      // exchanges that returned non-zero
    std::uint64_t timeouts = 0;    // attempts that saw no byte in time
    std::uint64_t shortReplies = 0;  // attempts whose reply stopped before the asked length
    // Attempts rejected by the reply check, by its code: 223, 219, 209, 222, anything else.
    std::uint64_t rejectedBadStart = 0;
    std::uint64_t rejectedOnlyAcknowledge = 0;
    std::uint64_t rejectedNoEnd = 0;
    std::uint64_t rejectedBadChecksum = 0;
    std::uint64_t rejectedOther = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;  // bytes handed to the reply check
    std::uint64_t bytesDiscarded = 0;  // stale or surplus bytes dropped
    emulator::Duration wireTime{};     // all attempts, on the line model
    LatencyCounters latency;           // per exchange, first send to verdict, line model

    std::uint64_t Rejected() const {
        return rejectedBadStart + rejectedOnlyAcknowledge + rejectedNoEnd +
               rejectedBadChecksum + rejectedOther;
    }
};

class EmulatorLink final : public HostLink {
public:
    using Duration = emulator::Duration;
    static constexpr std::uint32_t kFirstChannel = 1;
    static constexpr std::uint32_t kLastChannel = 32;

    EmulatorLink() = default;
    // The emulator answers on `channel`; it must outlive the link.
    explicit EmulatorLink(emulator::Emulator& bus, std::uint32_t channel = 1,
                          EmulatorLinkOptions options = {});

    // Puts a bus on a channel (nullptr: nobody answers there).
    void Attach(std::uint32_t channel, emulator::Emulator* bus);
    EmulatorLinkOptions& Options(std::uint32_t channel);

    // Trace hooks: every frame as sent (each attempt), and every reply as received with the
    // verdict on it (a timeout shows as an empty reply).
    std::function<void(std::uint32_t channel, std::span<const std::uint8_t> frame,
                       int attempt)>
        onFrame;
    std::function<void(std::uint32_t channel, std::span<const std::uint8_t> reply,
                       const ReplyVerdict& verdict)>
        onReply;

    const LinkCounters& Counters() const { return counters_; }
    void ResetCounters() { counters_ = LinkCounters{}; }
    // Runs the line initializer registered for the channel, as a host does when it reopens a
    // line; returns its result, or link_error::kNoInitializer when none is registered.
    std::int32_t Reinitialize(std::uint32_t channel);

    // HostLink. Channels outside 1..32 raise ERangeError.
    std::int32_t GetChannelError(std::uint32_t channel) override;
    void SetChannelError(std::uint32_t channel, std::int32_t code) override;
    void SetChannelState(std::uint32_t channel, std::int32_t state) override;
    std::int32_t GetChannelState(std::uint32_t channel) override;
    std::int32_t Transact(std::uint32_t channel, const std::uint8_t* frame,
                          std::uint8_t frameLength, std::uint8_t* reply,
                          std::uint8_t replyLength, std::uint32_t reserved) override;
    std::int32_t ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                               std::uint32_t baudRate) override;
    void SetReplyValidator(std::uint32_t channel, ReplyHandler handler) override;
    void SetLineInitializer(std::uint32_t channel, LineInitializer handler) override;

    // The time n bytes take on the channel's line.
    Duration WireTime(std::uint32_t channel, std::size_t bytes);

private:
    struct Channel {
        emulator::Emulator* bus = nullptr;
        EmulatorLinkOptions options;
        std::int32_t error = 0;
        std::int32_t state = link_state::kGood;
        ReplyHandler validator;
        LineInitializer initializer;
        Duration quietAt{};  // when the last reply, wanted or not, has left the line
    };
    Channel& At(std::uint32_t channel);
    std::int32_t Attempt(std::uint32_t channel, Channel& line,
                         std::span<const std::uint8_t> frame, std::uint8_t* reply,
                         std::uint8_t replyLength, int attempt);

    std::array<Channel, kLastChannel + 1> channels_{};
    LinkCounters counters_;
};

}  // namespace fuel
