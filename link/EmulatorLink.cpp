// The in-process link: the emulator's reply is timed byte by byte on the model of a serial
// line, and the link reads it as a port would, with its timeouts, so that late, split and
// truncated replies end exactly as they would on a real line.
#include "link/EmulatorLink.h"

#include <algorithm>

#include "driver/Exceptions.h"

namespace fuel {

EmulatorLink::EmulatorLink(emulator::Emulator& bus, std::uint32_t channel,
                           EmulatorLinkOptions options) {
    Attach(channel, &bus);
    At(channel).options = options;
}

EmulatorLink::Channel& EmulatorLink::At(std::uint32_t channel) {
    if (channel < kFirstChannel || channel > kLastChannel) {
        throw ERangeError();
    }
    return channels_[channel];
}

void EmulatorLink::Attach(std::uint32_t channel, emulator::Emulator* bus) { At(channel).bus = bus; }

EmulatorLinkOptions& EmulatorLink::Options(std::uint32_t channel) { return At(channel).options; }

std::int32_t EmulatorLink::GetChannelError(std::uint32_t channel) { return At(channel).error; }

void EmulatorLink::SetChannelError(std::uint32_t channel, std::int32_t code) {
    At(channel).error = code;
}

void EmulatorLink::SetChannelState(std::uint32_t channel, std::int32_t state) {
    At(channel).state = state;
}

std::int32_t EmulatorLink::GetChannelState(std::uint32_t channel) { return At(channel).state; }

std::int32_t EmulatorLink::ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                                         std::uint32_t baudRate) {
    Channel& line = At(channel);
    if (timeout == 0 || baudRate == 0) {
        return link_error::kBadRequest;
    }
    line.options.responseTimeout = std::chrono::milliseconds(timeout);
    line.options.baudRate = baudRate;
    return 0;
}

void EmulatorLink::SetReplyValidator(std::uint32_t channel, ReplyHandler handler) {
    At(channel).validator = handler;
}

void EmulatorLink::SetLineInitializer(std::uint32_t channel, LineInitializer handler) {
    At(channel).initializer = handler;
}

std::int32_t EmulatorLink::Reinitialize(std::uint32_t channel) {
    const LineInitializer initializer = At(channel).initializer;
    return initializer ? initializer(channel) : link_error::kNoInitializer;
}

EmulatorLink::Duration EmulatorLink::WireTime(std::uint32_t channel, std::size_t bytes) {
    // Start bit, eight data bits, stop bit.
    const std::uint64_t bits = 10ULL * bytes;
    const std::uint64_t baud = std::max<std::uint32_t>(At(channel).options.baudRate, 1);
    return Duration(static_cast<Duration::rep>(bits * 1'000'000'000ULL / baud));
}

std::int32_t EmulatorLink::Transact(std::uint32_t channel, const std::uint8_t* frame,
                                    std::uint8_t frameLength, std::uint8_t* reply,
                                    std::uint8_t replyLength, std::uint32_t) {
    Channel& line = At(channel);
    ++counters_.exchanges;
    const auto fail = [&](std::int32_t code) {
        line.state = link_state::kBad;
        line.error = code;
        ++counters_.failed;
        return code;
    };
    if (frame == nullptr || frameLength == 0 || reply == nullptr || replyLength == 0) {
        return fail(link_error::kBadRequest);
    }
    if (line.bus == nullptr) {
        return fail(link_error::kNoBus);
    }

    emulator::Clock& clock = line.bus->GetClock();
    const Duration start = clock.Now();
    const std::span<const std::uint8_t> request(frame, frameLength);
    std::int32_t result = 0;
    const int attempts = 1 + std::max(line.options.retries, 0);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (attempt > 1) ++counters_.retries;
        result = Attempt(channel, line, request, reply, replyLength, attempt);
        if (result == 0) break;
    }

    const Duration latency = clock.Now() - start;
    counters_.latency.total += latency;
    counters_.latency.min = std::min(counters_.latency.min, latency);
    counters_.latency.max = std::max(counters_.latency.max, latency);
    if (result == 0) {
        ++counters_.accepted;
    } else {
        ++counters_.failed;
    }
    return result;
}

std::int32_t EmulatorLink::Attempt(std::uint32_t channel, Channel& line,
                                   std::span<const std::uint8_t> frame, std::uint8_t* reply,
                                   std::uint8_t replyLength, int attempt) {
    emulator::Clock& clock = line.bus->GetClock();
    const EmulatorLinkOptions& options = line.options;
    ++counters_.attempts;
    // Should anything below raise (the reply check, a trace hook), the caller asks for the
    // channel's error: it must not find the previous exchange's 0 there.
    line.state = link_state::kBad;
    line.error = link_error::kUnjudged;

    // A reply still on the line (a late one, or the tail of a cut one) would be taken for
    // the answer to this request: let it finish and drop it first.
    if (const Duration now = clock.Now(); line.quietAt > now) {
        clock.Advance(line.quietAt - now);
    }

    if (onFrame) onFrame(channel, frame, attempt);
    const Duration sendTime = WireTime(channel, frame.size());
    counters_.bytesSent += frame.size();
    clock.Advance(sendTime);
    const Duration sent = clock.Now();
    const emulator::Reply answer = line.bus->Handle(frame);

    const Duration byteTime = WireTime(channel, 1);
    // Byte i (from 0) of the answer has arrived at this time after the send.
    const auto arrival = [&](std::size_t i) {
        return answer.delay + byteTime * static_cast<Duration::rep>(i + 1) +
               answer.byteGap * static_cast<Duration::rep>(i);
    };
    const auto record = [&](std::span<const std::uint8_t> got, ReplyVerdict verdict,
                            Duration elapsed) {
        counters_.wireTime += sendTime + elapsed;
        verdict.attempt = attempt;
        verdict.expectedCount = replyLength;
        verdict.code = line.error;
        verdict.state = line.state;
        verdict.wireTime = sendTime + elapsed;
        verdict.fault = answer.fault;
        if (onReply) onReply(channel, got, verdict);
    };

    ReplyVerdict verdict;
    if (answer.Silent() || answer.delay > options.responseTimeout) {
        clock.Advance(options.responseTimeout);
        if (!answer.Silent()) {
            line.quietAt = sent + arrival(answer.length - 1u);
            counters_.bytesDiscarded += answer.length;
        }
        ++counters_.timeouts;
        line.state = link_state::kBad;
        line.error = link_error::kSilence;
        record({}, verdict, options.responseTimeout);
        return link_error::kSilence;
    }

    // Read as a port does: up to the asked count, each byte within the inter-byte timeout
    // of the one before.
    std::size_t count = 1;
    const std::size_t available = std::min<std::size_t>(answer.length, replyLength);
    while (count < available && answer.byteGap <= options.interByteTimeout) {
        ++count;
    }
    Duration done = arrival(count - 1);
    if (count < replyLength) {
        done += options.interByteTimeout;  // waited for a byte that never came in time
        ++counters_.shortReplies;
    }
    if (count < answer.length) {
        line.quietAt = sent + arrival(answer.length - 1u);
        counters_.bytesDiscarded += answer.length - count;
    }
    clock.Advance(done);
    std::copy_n(answer.bytes.begin(), count, reply);
    counters_.bytesReceived += count;
    verdict.received = true;
    verdict.receivedCount = static_cast<std::uint8_t>(count);
    const std::span<const std::uint8_t> got(reply, count);

    if (!line.validator) {
        line.state = link_state::kBad;
        line.error = link_error::kUnjudged;
        record(got, verdict, done);
        return link_error::kUnjudged;
    }
    const std::uint8_t receivedCount = verdict.receivedCount;
    const std::uint8_t expectedCount = replyLength;
    verdict.checked = true;
    const bool accepted = line.validator(channel, reply, std::int32_t{replyLength} - 1,
                                         receivedCount, expectedCount);
    if (accepted && count == replyLength) {
        verdict.accepted = true;
        record(got, verdict, done);
        return 0;
    }
    if (accepted) {
        // A complete-looking frame shorter than the command's reply: the bytes the caller
        // reads past it would be stale.
        line.error = link_error::kShortReply;
    } else {
        switch (line.error) {
            case reply_code::kBadStart: ++counters_.rejectedBadStart; break;
            case reply_code::kOnlyAcknowledge: ++counters_.rejectedOnlyAcknowledge; break;
            case reply_code::kNoEnd: ++counters_.rejectedNoEnd; break;
            case reply_code::kBadChecksum: ++counters_.rejectedBadChecksum; break;
            default: ++counters_.rejectedOther; break;
        }
        if (line.error == 0) {
            line.error = link_error::kUnjudged;  // rejected without a code: still a failure
        }
    }
    line.state = link_state::kBad;
    record(got, verdict, done);
    return line.error;
}

}  // namespace fuel
