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

void EmulatorLink::Attach(std::uint32_t channel, emulator::Emulator* bus) {
    At(channel).bus = bus;
}

EmulatorLinkOptions& EmulatorLink::Options(std::uint32_t channel) {
    return At(channel).options;
}

std::int32_t EmulatorLink::GetChannelError(std::uint32_t channel) {
    return At(channel).error;
}

void EmulatorLink::SetChannelError(std::uint32_t channel, std::int32_t code) {
    At(channel).error = code;
}

void EmulatorLink::SetChannelState(std::uint32_t channel, std::int32_t state) {
    At(channel).state = state;
}

std::int32_t EmulatorLink::GetChannelState(std::uint32_t channel) {
    return At(channel).state;
}

std::int32_t EmulatorLink::ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                                         std::uint32_t baudRate) {
    Channel& line = At(channel);
    if (timeout == 0 || baudRate == 0) {
        return line_code::kBadRequest;
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
    return initializer ? initializer(channel) : line_code::kNoInitializer;
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
        CountExchange(false, {});
        return code;
    };
    if (frame == nullptr || frameLength == 0 || reply == nullptr || replyLength == 0) {
        return fail(line_code::kBadRequest);
    }
    if (line.bus == nullptr) {
        return fail(line_code::kNoPort);
    }

    emulator::Clock& clock = line.bus->GetClock();
    const Duration start = clock.Now();
    const std::span<const std::uint8_t> request(frame, frameLength);
    std::int32_t result = 0;
    const int attempts = std::max(line.options.retry.attempts, 1);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (attempt > 1)
            ++counters_.retries;
        result = Attempt(channel, line, request, reply, replyLength, attempt);
        if (result == 0)
            break;
    }
    CountExchange(result == 0, clock.Now() - start);
    return result;
}

std::int32_t EmulatorLink::Attempt(std::uint32_t channel, Channel& line,
                                   std::span<const std::uint8_t> frame, std::uint8_t* reply,
                                   std::uint8_t replyLength, int attempt) {
    emulator::Clock& clock = line.bus->GetClock();
    const EmulatorLinkOptions& options = line.options;
    ++counters_.attempts;
    BeginAttempt(channel);

    // A reply still on the line (a late one, or the tail of a cut one) would be taken for
    // the answer to this request: let it finish and drop it first.
    if (const Duration now = clock.Now(); line.quietAt > now) {
        clock.Advance(line.quietAt - now);
    }

    if (onFrame)
        onFrame(channel, frame, attempt);
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
    const auto record = [&](std::span<const std::uint8_t> got, AttemptVerdict verdict,
                            Duration elapsed) {
        counters_.wireTime += sendTime + elapsed;
        verdict.attempt = attempt;
        verdict.expectedCount = replyLength;
        verdict.wireTime = sendTime + elapsed;
        verdict.fault = answer.fault ? emulator::FaultName(*answer.fault) : std::string_view{};
        if (onReply)
            onReply(channel, got, verdict);
        return verdict.code;
    };

    if (answer.Silent() || answer.delay > options.responseTimeout) {
        clock.Advance(options.responseTimeout);
        if (!answer.Silent()) {
            line.quietAt = sent + arrival(answer.length - 1u);
            counters_.bytesDiscarded += answer.length;
        }
        ++counters_.timeouts;
        line.state = link_state::kBad;
        line.error = line_code::kSilence;
        AttemptVerdict verdict;
        verdict.code = line.error;
        verdict.state = line.state;
        return record({}, verdict, options.responseTimeout);
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
    }
    if (count < answer.length) {
        line.quietAt = sent + arrival(answer.length - 1u);
        counters_.bytesDiscarded += answer.length - count;
    }
    clock.Advance(done);
    std::copy_n(answer.bytes.begin(), count, reply);
    counters_.bytesReceived += count;
    const AttemptVerdict verdict =
        Judge(channel, line.validator, reply, std::int32_t{replyLength} - 1,
              static_cast<std::uint8_t>(count), replyLength);
    return record(std::span<const std::uint8_t>(reply, count), verdict, done);
}

}  // namespace fuel
