// A HostLink that puts the driver's frames on the emulator's virtual bus instead of a port.
// It behaves as a careful serial link would: it lets a stale reply finish and drops it before
// each request, waits for the first byte up to the response timeout and for each further
// byte up to the inter-byte timeout, has every reply judged by the reply check registered
// last for the channel (a reply shorter than asked for fails, as on every line of ours),
// retries a bounded number of times, and counts the time the exchange would take on a real
// line (10 bits a byte at the configured baud rate). The emulator's clock advances by that
// time, so fills flow while the host polls.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>

#include "driver/HostLink.h"
#include "emulator/Emulator.h"
#include "link/Line.h"

namespace fuel {

struct EmulatorLinkOptions {
    using Duration = emulator::Duration;
    // ConfigureLine(channel, timeout, baud) overrides the first and the last of these for
    // its channel: the driver passes 75 (milliseconds) and 4800.
    Duration responseTimeout = std::chrono::milliseconds(75);
    Duration interByteTimeout = std::chrono::milliseconds(10);
    RetryPolicy retry;
    std::uint32_t baudRate = 4800;
};

class EmulatorLink final : public Line {
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

    // Runs the line initializer registered for the channel, as a host does when it reopens a
    // line; returns its result, or line_code::kNoInitializer when none is registered.
    std::int32_t Reinitialize(std::uint32_t channel);

    // HostLink. Channels outside 1..32 raise ERangeError.
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
    std::int32_t Attempt(std::uint32_t channel, Channel& line, std::span<const std::uint8_t> frame,
                         std::uint8_t* reply, std::uint8_t replyLength, int attempt);

    std::array<Channel, kLastChannel + 1> channels_{};
};

}  // namespace fuel
