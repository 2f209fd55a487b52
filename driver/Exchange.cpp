// The single path of every command: frame the data, hand it to the link with the reply check
// registered, and record the link's verdict in LinkState.
#include <array>

#include "driver/ExchangeSteps.h"
#include "driver/TVM30.h"

namespace fuel {
namespace {

constexpr std::uint8_t kFrameStart = 'H';
constexpr std::uint8_t kFrameEnd = 'E';
constexpr std::uint8_t kAcknowledge = 'A';
// 'H' + 'E': the checksum covers them as well as the data.
constexpr std::uint8_t kChecksumSeed = 0x8D;

bool ReplyCheckRoutine(void* object, std::uint32_t channel, const std::uint8_t* reply,
                       std::int32_t high, const std::uint8_t& receivedCount,
                       const std::uint8_t& expectedCount) {
    return static_cast<TVM30*>(object)->ReplyCheck(channel, reply, high, receivedCount,
                                                   expectedCount);
}

std::int32_t ApplyLinkSettingsRoutine(void* object, std::uint32_t channel) {
    return static_cast<TVM30*>(object)->ApplyLinkSettings(channel);
}

}  // namespace

void BuildFrame(Frame& frame, std::span<const std::uint8_t> data) {
    if (data.size() > kMaxFrameData) {
        throw ERangeError();
    }
    std::uint8_t checksum = kChecksumSeed;
    frame.bytes[0] = kFrameStart;
    for (std::size_t i = 0; i < data.size(); ++i) {
        frame.bytes[i + 1] = data[i];
        checksum = static_cast<std::uint8_t>(checksum + data[i]);
    }
    frame.bytes[data.size() + 1] = checksum;
    frame.bytes[data.size() + 2] = kFrameEnd;
    frame.length = static_cast<std::uint8_t>(data.size() + 3);
}

ReplyHandler TVM30::ReplyCheckHandler() {
    return ReplyHandler{&ReplyCheckRoutine, this};
}

LineInitializer TVM30::ApplyLinkSettingsHandler() {
    return LineInitializer{&ApplyLinkSettingsRoutine, this};
}

std::int32_t TVM30::Exchange(std::uint8_t channel, std::span<std::uint8_t> buffer, std::uint8_t n,
                             std::uint8_t replyLength, std::uint32_t) {
    UnwatchedExchange unwatched;
    return ExchangeWatched(channel, buffer, n, replyLength, unwatched);
}

bool TVM30::ReplyCheck(std::uint32_t channel, const std::uint8_t* reply, std::int32_t high,
                       const std::uint8_t& receivedCount, const std::uint8_t& expectedCount) {
    return ReportVerdict(channel, JudgeReply(reply, high, receivedCount, expectedCount));
}

std::int32_t TVM30::JudgeReply(const std::uint8_t* reply, std::int32_t high,
                               const std::uint8_t& receivedCount,
                               const std::uint8_t& expectedCount) const {
    const CheckedBytes bytes(reply, high);
    if (bytes[0] != kAcknowledge) {
        return reply_code::kBadStart;
    }
    if (receivedCount == 1 && expectedCount > 1) {
        return reply_code::kOnlyAcknowledge;
    }
    if (receivedCount <= 1) {
        return reply_code::kAccepted;
    }
    const std::int32_t c = receivedCount;
    if (bytes[1] != kFrameStart) {
        return reply_code::kBadStart;
    }
    if (bytes[c - 1] != kFrameEnd) {
        return reply_code::kNoEnd;
    }
    std::uint8_t sum = bytes[c - 1];
    for (std::int32_t i = 1; i <= c - 3; ++i) {
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    }
    if (bytes[c - 2] != sum) {
        return reply_code::kBadChecksum;
    }
    return reply_code::kAccepted;
}

bool TVM30::ReportVerdict(std::uint32_t channel, std::int32_t code) {
    const bool accepted = code == reply_code::kAccepted;
    HostLink->SetChannelState(channel, accepted ? link_state::kGood : link_state::kBad);
    HostLink->SetChannelError(channel, code);
    return accepted;
}

std::uint8_t TVM30::NozzleCode(std::uint8_t dispenser, std::uint8_t nozzle) const {
    // Interleaved addressing gives odd and even dispensers alternating codes for nozzles 1..4;
    // beyond nozzle 4 the odd dispenser keeps the nozzle number and the even one drops by one.
    static constexpr std::array<int, 5> kOdd = {0, 1, 4, 5, 8};
    static constexpr std::array<int, 5> kEven = {0, 1, 2, 5, 6};
    int f = nozzle;
    if (OrigAdres) {
        const bool odd = (dispenser % 2) != 0;
        if (nozzle >= 1 && nozzle <= 4) {
            f = odd ? kOdd[nozzle] : kEven[nozzle];
        } else {
            f = odd ? nozzle : nozzle - 1;
        }
    }
    const int code = dispenser + f - 1;
    if (code < 0 || code > 255) {
        throw ERangeError();
    }
    return static_cast<std::uint8_t>(code);
}

std::int32_t TVM30::ApplyLinkSettings(std::uint32_t channel) {
    return HostLink->ConfigureLine(channel, 75, 4800);
}

}  // namespace fuel
