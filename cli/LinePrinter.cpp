#include "cli/LinePrinter.h"

#include <ostream>

#include "cli/Format.h"

namespace fuel::cli {
namespace {

std::string Milliseconds(LineCounters::Duration d) {
    return Fixed(std::chrono::duration<double, std::milli>(d).count(), 1) + " ms";
}

bool IsReplyCheckCode(std::int32_t code) {
    return code == reply_code::kBadStart || code == reply_code::kOnlyAcknowledge ||
           code == reply_code::kNoEnd || code == reply_code::kBadChecksum;
}

}  // namespace

std::string VerdictWords(const AttemptVerdict& verdict) {
    std::string words;
    if (verdict.accepted) {
        words = "accepted";
    } else if (!verdict.received) {
        words = DescribeLineCode(line_code::kSilence);
    } else if (IsReplyCheckCode(verdict.code)) {
        words = "rejected " + std::to_string(verdict.code) + ": " +
                std::string(DescribeLineCode(verdict.code));
    } else {
        words = "failed " + std::to_string(verdict.code) + ": " +
                std::string(DescribeLineCode(verdict.code));
    }
    words += " [" + std::to_string(verdict.receivedCount) + " of " +
             std::to_string(verdict.expectedCount) + " bytes";
    if (verdict.wireTime > LineCounters::Duration::zero()) {
        words += ", " + Milliseconds(verdict.wireTime);
    }
    return words + "]";
}

void PrintFrame(std::ostream& out, std::span<const std::uint8_t> frame, int attempt) {
    out << "  -> " << Hex(frame);
    if (attempt > 1) {
        out << "   (retry " << attempt - 1 << ")";
    }
    out << "\n";
}

void PrintReply(std::ostream& out, std::span<const std::uint8_t> reply,
                const AttemptVerdict& verdict) {
    out << "  <- " << (reply.empty() ? std::string("(nothing)") : Hex(reply)) << "   "
        << VerdictWords(verdict) << "\n";
}

void PrintLineStats(std::ostream& out, const LineCounters& c, const LineFacts& facts) {
    using Duration = LineCounters::Duration;
    out << "link: " << c.exchanges << " exchanges, " << c.attempts << " frames sent (" << c.retries
        << " retries), " << c.accepted << " accepted, " << c.failed << " failed\n";
    out << "  rejected by the reply check: " << c.Rejected() << " (223: " << c.rejectedBadStart
        << ", 219: " << c.rejectedOnlyAcknowledge << ", 209: " << c.rejectedNoEnd
        << ", 222: " << c.rejectedBadChecksum << ", other: " << c.rejectedOther << ")\n";
    out << "  timeouts: " << c.timeouts << ", short replies: " << c.shortReplies << "\n";
    out << "  bytes: " << c.bytesSent << " sent, " << c.bytesReceived << " received";
    if (c.bytesDiscarded > 0) {
        out << ", " << c.bytesDiscarded << " discarded";
    }
    out << "\n";
    // Measured time, send to the end of each attempt, beside the wire time where the line's
    // settings are known. Behind a converter the serial line's time is inside the network's,
    // at settings the converter keeps to itself.
    if (c.serialTime > Duration::zero()) {
        out << "  serial line: " << Milliseconds(c.serialTime)
            << " from sends to replies (measured), of which " << Milliseconds(c.wireTime)
            << " the bytes' own wire time\n";
    } else if (c.wireTime > Duration::zero()) {
        out << "  wire time: " << Milliseconds(c.wireTime);
        if (facts.baudRate != 0) {
            out << " at " << facts.baudRate << " baud";
        }
        out << "\n";
    }
    if (c.networkTime > Duration::zero()) {
        out << "  network: " << Milliseconds(c.networkTime)
            << " from sends to replies (measured; the converter's own line is inside it)\n";
    }
    if (c.opens > 0 || c.portFailures > 0 || !facts.lastProblem.empty()) {
        out << "  port: " << c.opens << " opens, " << c.portFailures << " failures";
        if (!facts.lastProblem.empty()) {
            out << " (last: " << facts.lastProblem << ")";
        }
        out << "\n";
    }
    if (c.accepted > 0) {
        const auto mean = c.latency.total / static_cast<std::int64_t>(c.accepted);
        out << "  latency per accepted exchange: min " << Milliseconds(c.latency.min) << ", mean "
            << Milliseconds(mean) << ", max " << Milliseconds(c.latency.max) << "\n";
    }
}

}  // namespace fuel::cli
