#include "testing/RecordingLink.h"

#include <algorithm>

namespace fuel::test {

Bytes FrameOf(const Bytes& data) {
    Bytes frame{'H'};
    std::uint8_t sum = 'H' + 'E';
    for (const std::uint8_t b : data) {
        frame.push_back(b);
        sum = static_cast<std::uint8_t>(sum + b);
    }
    frame.push_back(sum);
    frame.push_back('E');
    return frame;
}

Bytes DataReply(const Bytes& data) {
    Bytes reply{'A'};
    const Bytes frame = FrameOf(data);
    reply.insert(reply.end(), frame.begin(), frame.end());
    return reply;
}

Bytes DataReplyOfLength(std::size_t length, const Bytes& leadingData) {
    Bytes data = leadingData;
    if (length >= 4) {
        data.resize(std::max(data.size(), length - 4), '0');
    }
    return DataReply(data);
}

Bytes DataOf(const Bytes& frame) {
    if (frame.size() < 3) {
        return {};
    }
    return Bytes(frame.begin() + 1, frame.end() - 2);
}

void RecordingLink::SetChannelError(std::uint32_t channel, std::int32_t code) {
    if (recording) {
        reports.push_back({'E', channel, code});
    }
    errors_.at(channel) = code;
}

void RecordingLink::SetChannelState(std::uint32_t channel, std::int32_t state) {
    if (recording) {
        reports.push_back({'S', channel, state});
    }
    states_.at(channel) = state;
}

std::int32_t RecordingLink::GetChannelState(std::uint32_t channel) {
    return forcedState ? *forcedState : states_.at(channel);
}

std::int32_t RecordingLink::Transact(std::uint32_t channel, const std::uint8_t* frame,
                                     std::uint8_t frameLength, std::uint8_t* reply,
                                     std::uint8_t replyLength, std::uint32_t) {
    if (recording) {
        sent.push_back(Sent{channel, Bytes(frame, frame + frameLength), replyLength});
    }
    if (script_.empty() && !responder && server) {
        return Answer(channel, server({frame, frameLength}), {}, {}, reply, replyLength);
    }
    ScriptedReply answer;
    if (!script_.empty()) {
        answer = std::move(script_.front());
        script_.pop_front();
    } else if (responder) {
        answer.bytes = responder(Bytes(frame, frame + frameLength));
    } else {
        answer.silence = true;
    }
    if (answer.raise) {
        errors_.at(channel) = kRaisedCode;
        throw std::runtime_error("line failure");
    }
    if (answer.silence) {
        answer.bytes.clear();
    }
    return Answer(channel, answer.bytes, answer.receivedCount, answer.high, reply, replyLength);
}

std::int32_t RecordingLink::Answer(std::uint32_t channel, std::span<const std::uint8_t> bytes,
                                   std::optional<std::uint8_t> receivedCount,
                                   std::optional<std::int32_t> high, std::uint8_t* reply,
                                   std::uint8_t replyLength) {
    if (bytes.empty()) {
        errors_.at(channel) = kSilenceCode;
        states_.at(channel) = 3;
        return kSilenceCode;
    }
    const std::size_t placed = std::min<std::size_t>(bytes.size(), replyLength);
    std::copy_n(bytes.begin(), placed, reply);
    const std::uint8_t received = receivedCount.value_or(static_cast<std::uint8_t>(placed));
    const std::uint8_t expected = replyLength;
    const ReplyHandler check = validators_.at(channel);
    const bool accepted =
        check &&
        check(channel, reply, high.value_or(std::int32_t{replyLength} - 1), received, expected);
    if (accepted) {
        return 0;
    }
    return errors_.at(channel) != 0 ? errors_.at(channel) : kSilenceCode;
}

std::int32_t RecordingLink::ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                                          std::uint32_t baudRate) {
    configureCalls.push_back({channel, timeout, baudRate});
    return configureResult;
}

void RecordingLink::SetReplyValidator(std::uint32_t channel, ReplyHandler handler) {
    ++validatorRegistrations;
    validators_.at(channel) = handler;
}

void RecordingLink::SetLineInitializer(std::uint32_t channel, LineInitializer handler) {
    initializers_.at(channel) = handler;
}

}  // namespace fuel::test
