// A HostLink for tests: records every frame, serves scripted replies, and judges each reply
// through the reply check registered last for the channel, as a real line does.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "driver/HostLink.h"

namespace fuel::test {

using Bytes = std::vector<std::uint8_t>;

// What the line answers to one request.
struct ScriptedReply {
    Bytes bytes;                                // placed from reply[0], cut at the asked length
    std::optional<std::uint8_t> receivedCount;  // default: the bytes placed
    std::optional<std::int32_t> high;           // default: asked length - 1
    bool raise = false;                         // Transact throws instead of answering
    bool silence = false;                       // nothing arrives; the check is not called
};

// Frames a data reply as a controller does: 'A' 'H' data checksum 'E'.
Bytes DataReply(const Bytes& data);
// 'A' 'H' data checksum 'E' padded with '0' data bytes to the given total length.
Bytes DataReplyOfLength(std::size_t length, const Bytes& leadingData);
// The request frame for command data, as the driver must send it.
Bytes FrameOf(const Bytes& data);

class RecordingLink final : public HostLink {
  public:
    static constexpr std::int32_t kSilenceCode = 1000;  // this link's own code for no reply
    static constexpr std::int32_t kRaisedCode = 1001;   // the error it reports after raising

    struct Sent {
        std::uint32_t channel;
        Bytes frame;
        std::uint8_t replyLength;
    };
    // A call the reply check made: SetChannelState ('S') or SetChannelError ('E').
    struct Report {
        char kind;
        std::uint32_t channel;
        std::int32_t value;
        bool operator==(const Report&) const = default;
        friend void PrintTo(const Report& r, std::ostream* os) {
            *os << r.kind << "(" << r.channel << ", " << r.value << ")";
        }
    };

    // Scripting.
    void Queue(ScriptedReply reply) { script_.push_back(std::move(reply)); }
    void QueueReply(Bytes bytes) {
        ScriptedReply reply;
        reply.bytes = std::move(bytes);
        Queue(std::move(reply));
    }
    void QueueAck() { QueueReply({'A'}); }
    void QueueRaise() {
        ScriptedReply reply;
        reply.raise = true;
        Queue(std::move(reply));
    }
    void QueueSilence() {
        ScriptedReply reply;
        reply.silence = true;
        Queue(std::move(reply));
    }
    // Answers requests when the script is empty; without one the line stays silent.
    std::function<Bytes(const Bytes& frame)> responder;
    // Answers from bytes the caller keeps, without allocating (for benchmarks); used when the
    // script is empty and there is no responder.
    std::function<std::span<const std::uint8_t>(std::span<const std::uint8_t> frame)> server;
    // Reported by GetChannelState instead of the state the reply check set.
    std::optional<std::int32_t> forcedState;
    // Off: nothing is recorded (for benchmarks that count allocations).
    bool recording = true;

    // What happened.
    std::vector<Sent> sent;
    std::vector<Report> reports;
    struct ConfigureCall {
        std::uint32_t channel, timeout, baudRate;
        bool operator==(const ConfigureCall&) const = default;
    };
    std::vector<ConfigureCall> configureCalls;
    int validatorRegistrations = 0;
    std::size_t pendingReplies() const { return script_.size(); }

    // The handlers as registered.
    ReplyHandler validator(std::uint32_t channel) const { return validators_.at(channel); }
    LineInitializer initializer(std::uint32_t channel) const { return initializers_.at(channel); }
    void SetError(std::uint32_t channel, std::int32_t code) { errors_.at(channel) = code; }
    std::int32_t configureResult = 0;

    // HostLink.
    std::int32_t GetChannelError(std::uint32_t channel) override { return errors_.at(channel); }
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
    std::int32_t Answer(std::uint32_t channel, std::span<const std::uint8_t> bytes,
                        std::optional<std::uint8_t> receivedCount, std::optional<std::int32_t> high,
                        std::uint8_t* reply, std::uint8_t replyLength);

    std::deque<ScriptedReply> script_;
    std::array<std::int32_t, 256> errors_{};
    std::array<std::int32_t, 256> states_{};
    std::array<ReplyHandler, 256> validators_{};
    std::array<LineInitializer, 256> initializers_{};
};

// What a frame sent by the driver carries: the command data between 'H' and the checksum.
Bytes DataOf(const Bytes& frame);

}  // namespace fuel::test
