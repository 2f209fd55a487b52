#include "link/Line.h"

#include <algorithm>

namespace fuel {

std::string_view DescribeLineCode(std::int32_t code) {
    switch (code) {
        case 0:
            return "accepted";
        case reply_code::kBadStart:
            return "no 'A' first, or no 'H' opening the frame";
        case reply_code::kOnlyAcknowledge:
            return "only 'A' where data was expected";
        case reply_code::kNoEnd:
            return "the frame does not end with 'E'";
        case reply_code::kBadChecksum:
            return "wrong checksum";
        case line_code::kSilence:
            return "no reply before the time-out";
        case line_code::kPortUnavailable:
            return "port unavailable";
        case line_code::kNoPort:
            return "nothing on the channel: no port, no bus";
        case line_code::kBadRequest:
            return "empty frame or no reply length";
        case line_code::kUnjudged:
            return "reply not judged";
        case line_code::kBadSettings:
            return "port refused the line settings";
        case line_code::kShortReply:
            return "reply shorter than asked for";
        case line_code::kNoInitializer:
            return "no line initializer to run";
        default:
            return "unknown code";
    }
}

void Line::BeginAttempt(std::uint32_t channel) {
    SetChannelState(channel, link_state::kBad);
    SetChannelError(channel, line_code::kUnjudged);
}

AttemptVerdict Line::Judge(std::uint32_t channel, const ReplyHandler& check, std::uint8_t* reply,
                           std::int32_t high, std::uint8_t received, std::uint8_t expected) {
    AttemptVerdict verdict;
    verdict.received = true;
    verdict.receivedCount = received;
    verdict.expectedCount = expected;
    const bool isShort = received < expected;
    if (isShort) {
        ++counters_.shortReplies;
    }
    BeginAttempt(channel);
    std::int32_t code = line_code::kUnjudged;
    if (check) {
        verdict.checked = true;
        // The check takes the counts by reference: it gets copies, not ours.
        const std::uint8_t receivedCount = received;
        const std::uint8_t expectedCount = expected;
        const bool accepted = check(channel, reply, high, receivedCount, expectedCount);
        if (accepted && !isShort) {
            verdict.accepted = true;
            code = 0;
        } else if (accepted) {
            // A sound frame that stopped early: the caller reads its fields at fixed places,
            // past the end of what came.
            code = line_code::kShortReply;
        } else {
            code = GetChannelError(channel);
            CountRejection(code);
            if (code == 0) {
                code = line_code::kUnjudged;  // rejected without a code: still a failure
            }
        }
    }
    // The driver reads the state right after a success and must find it good, whatever a
    // lenient check reported; after a failure it must find it bad.
    SetChannelState(channel, verdict.accepted ? link_state::kGood : link_state::kBad);
    SetChannelError(channel, code);
    verdict.code = code;
    verdict.state = verdict.accepted ? link_state::kGood : link_state::kBad;
    return verdict;
}

void Line::CountRejection(std::int32_t code) {
    switch (code) {
        case reply_code::kBadStart:
            ++counters_.rejectedBadStart;
            break;
        case reply_code::kOnlyAcknowledge:
            ++counters_.rejectedOnlyAcknowledge;
            break;
        case reply_code::kNoEnd:
            ++counters_.rejectedNoEnd;
            break;
        case reply_code::kBadChecksum:
            ++counters_.rejectedBadChecksum;
            break;
        default:
            ++counters_.rejectedOther;
            break;
    }
}

void Line::CountExchange(bool accepted, LineCounters::Duration latency) {
    if (!accepted) {
        ++counters_.failed;
        return;
    }
    ++counters_.accepted;
    counters_.latency.total += latency;
    counters_.latency.min = std::min(counters_.latency.min, latency);
    counters_.latency.max = std::max(counters_.latency.max, latency);
}

}  // namespace fuel
