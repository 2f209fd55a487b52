#include "link/ReplayLink.h"

#include <algorithm>

namespace fuel {

void ReplayLink::Serve(std::vector<RecordedExchange> exchanges,
                       std::vector<std::int32_t> configureResults) {
    exchanges_ = std::move(exchanges);
    queue_.clear();
    for (std::size_t i = 0; i < exchanges_.size(); ++i) {
        queue_.push_back(i);
    }
    configureResults_.assign(configureResults.begin(), configureResults.end());
    log_.clear();
}

std::int32_t ReplayLink::GetChannelError(std::uint32_t channel) {
    return errors_[Slot(channel)];
}

void ReplayLink::SetChannelError(std::uint32_t channel, std::int32_t code) {
    errors_[Slot(channel)] = code;
}

void ReplayLink::SetChannelState(std::uint32_t channel, std::int32_t state) {
    states_[Slot(channel)] = state;
}

std::int32_t ReplayLink::GetChannelState(std::uint32_t channel) {
    return states_[Slot(channel)];
}

std::int32_t ReplayLink::ConfigureLine(std::uint32_t, std::uint32_t, std::uint32_t) {
    if (configureResults_.empty()) {
        return 0;
    }
    const std::int32_t result = configureResults_.front();
    configureResults_.pop_front();
    return result;
}

void ReplayLink::SetReplyValidator(std::uint32_t channel, ReplyHandler handler) {
    validators_[Slot(channel)] = handler;
}

void ReplayLink::SetLineInitializer(std::uint32_t, LineInitializer) {}

std::int32_t ReplayLink::Transact(std::uint32_t channel, const std::uint8_t* frame,
                                  std::uint8_t frameLength, std::uint8_t* reply,
                                  std::uint8_t replyLength, std::uint32_t) {
    const std::size_t slot = Slot(channel);
    ++counters_.exchanges;
    Served served;
    if (frame != nullptr) {
        served.frame.assign(frame, frame + frameLength);
    }
    const std::span<const std::uint8_t> request(served.frame);
    if (queue_.empty()) {
        log_.push_back(std::move(served));
        ++counters_.attempts;
        ++counters_.timeouts;
        states_[slot] = link_state::kBad;
        errors_[slot] = line_code::kSilence;
        CountExchange(false, {});
        return line_code::kSilence;
    }
    const std::size_t index = queue_.front();
    queue_.pop_front();
    served.recorded = index;
    log_.push_back(std::move(served));
    Served& entry = log_.back();
    const RecordedExchange& recorded = exchanges_[index];

    // Should the check raise, as it may have when it was recorded, the exchange asks for the
    // channel's error: it finds the recorded result.
    errors_[slot] = recorded.result;
    bool accepted = false;
    std::int32_t lastCode = recorded.result;
    int attempt = 0;
    for (const RecordedCheck& check : recorded.checks) {
        ++attempt;
        ++counters_.attempts;
        counters_.retries += attempt > 1 ? 1 : 0;
        counters_.bytesSent += request.size();
        counters_.bytesReceived += check.received;
        if (onFrame) {
            onFrame(channel, request, attempt);
        }
        std::array<std::uint8_t, 256> bytes{};
        std::copy_n(check.bytes.begin(), std::min(check.bytes.size(), bytes.size()), bytes.begin());
        const ReplyHandler& validator = validators_[slot];
        const std::int32_t high = std::min<std::int32_t>(check.high, 255);
        const bool ok =
            validator && validator(channel, bytes.data(), high, check.received, check.expected);
        lastCode = errors_[slot];
        if (!check.code || lastCode != *check.code) {
            entry.verdictsDiffer = true;
        }
        const bool isShort = check.received < check.expected;
        counters_.shortReplies += isShort ? 1 : 0;
        if (!ok) {
            CountRejection(lastCode);
        } else if (isShort) {
            // The line went on to its next attempt, as every line of ours does.
            lastCode = line_code::kShortReply;
        }
        accepted = ok && !isShort;
        if (onReply) {
            AttemptVerdict verdict;
            verdict.received = check.received > 0;
            verdict.accepted = accepted;
            verdict.checked = static_cast<bool>(validator);
            verdict.code = accepted ? 0 : lastCode;
            verdict.state = accepted ? link_state::kGood : link_state::kBad;
            verdict.receivedCount = check.received;
            verdict.expectedCount = check.expected;
            verdict.attempt = attempt;
            onReply(channel,
                    std::span<const std::uint8_t>(
                        bytes.data(), std::min<std::size_t>(check.received, bytes.size())),
                    verdict);
        }
        if (accepted) {
            break;
        }
    }
    if (recorded.checks.empty()) {
        ++counters_.attempts;  // sent, and no reply reached a check
    }
    if (reply != nullptr) {
        std::copy_n(recorded.reply.begin(),
                    std::min<std::size_t>(recorded.reply.size(), replyLength), reply);
    }
    if (recorded.raised) {
        throw ReplayedFault();
    }
    std::int32_t result = recorded.result;
    if (entry.verdictsDiffer) {
        result = accepted ? 0 : (lastCode != 0 ? lastCode : recorded.result);
        states_[slot] = accepted ? link_state::kGood : link_state::kBad;
    } else {
        states_[slot] = recorded.state;
    }
    errors_[slot] = result;
    CountExchange(result == 0, {});
    return result;
}

}  // namespace fuel
