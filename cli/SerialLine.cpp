#include "cli/SerialLine.h"

#include <ostream>

#include "cli/Arguments.h"
#include "cli/Format.h"

namespace fuel::cli {
namespace {

std::string Milliseconds(std::chrono::nanoseconds d) {
    return Fixed(std::chrono::duration<double, std::milli>(d).count(), 1) + " ms";
}

std::string VerdictWords(const SerialVerdict& verdict) {
    std::string words;
    if (verdict.accepted) {
        words = "accepted";
    } else if (!verdict.received) {
        words = "no reply before the timeout";
    } else if (verdict.checked) {
        words = ReplyCodeWords(verdict.code);
    } else {
        words = std::string(DescribeSerialCode(verdict.code));
    }
    return words + " [" + std::to_string(verdict.receivedCount) + " of " +
           std::to_string(verdict.expectedCount) + " bytes]";
}

}  // namespace

SerialLine::SerialLine(const std::optional<std::string>& port,
                       const std::optional<std::string>& portMap, std::uint8_t channel,
                       std::optional<int> retries, bool trace, std::ostream& out)
    : channel_(channel) {
    PortMap map;
    if (portMap) {
        try {
            map = PortMap::Load(*portMap);
        } catch (const PortMapError& error) {
            throw UsageError(error.what());
        }
    }
    if (port) {
        PortSettings settings;
        if (const PortSettings* mapped = map.Find(channel)) {
            settings = *mapped;
        }
        settings.device = *port;
        map.Assign(channel, settings);
    }
    if (map.Find(channel) == nullptr) {
        throw UsageError("the port map gives no device for channel " + std::to_string(channel));
    }
    if (retries) {
        PortSettings settings = *map.Find(channel);
        settings.attempts = *retries + 1;
        map.Assign(channel, settings);
    }
    link_ = std::make_unique<SerialLink>(std::move(map));

    link_->onPortFailure = [&out](std::uint32_t, const std::string& problem) {
        out << "  !! " << problem << "\n";
    };
    if (trace) {
        link_->onFrame = [&out](std::uint32_t, std::span<const std::uint8_t> frame, int attempt) {
            out << "  -> " << Hex(frame);
            if (attempt > 1) {
                out << "   (retry " << attempt - 1 << ")";
            }
            out << "\n";
        };
        link_->onReply = [&out](std::uint32_t, std::span<const std::uint8_t> reply,
                                const SerialVerdict& verdict) {
            out << "  <- " << (reply.empty() ? std::string("(nothing)") : Hex(reply)) << "   "
                << VerdictWords(verdict) << "\n";
        };
    }
}

void SerialLine::PrintStats(std::ostream& out) const {
    const SerialCounters& c = link_->Counters();
    out << "link: " << c.exchanges << " exchanges, " << c.attempts << " frames sent (" << c.retries
        << " retries), " << c.accepted << " accepted, " << c.failed << " failed\n";
    out << "  rejected by the reply check: " << c.Rejected() << " (223: " << c.rejectedBadStart
        << ", 219: " << c.rejectedOnlyAcknowledge << ", 209: " << c.rejectedNoEnd
        << ", 222: " << c.rejectedBadChecksum << ", other: " << c.rejectedOther << ")\n";
    out << "  timeouts: " << c.timeouts << ", short replies: " << c.shortReplies << "\n";
    out << "  bytes: " << c.bytesSent << " sent, " << c.bytesReceived << " received\n";
    out << "  port: " << c.opens << " opens, " << c.portFailures << " failures";
    if (!link_->LastProblem(channel_).empty()) {
        out << " (last: " << link_->LastProblem(channel_) << ")";
    }
    out << "\n";
    if (c.accepted > 0) {
        const auto mean = c.latency.total / static_cast<std::int64_t>(c.accepted);
        out << "  latency per accepted exchange: min " << Milliseconds(c.latency.min) << ", mean "
            << Milliseconds(mean) << ", max " << Milliseconds(c.latency.max) << "\n";
    }
}

}  // namespace fuel::cli
