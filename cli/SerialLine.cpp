#include "cli/SerialLine.h"

#include <ostream>

#include "cli/Arguments.h"
#include "cli/Format.h"
#include "link/TcpPort.h"

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
            if (mapped->IsTcp() != IsTcpDevice(*port)) {
                // The map's entry is for the other kind of line: what only that kind has
                // stays behind; the time-outs, the baud rate and the attempts carry over.
                settings.connectTimeout.reset();
                settings.dataBits = 8;
                settings.parity = Parity::None;
                settings.stopBits = 1;
            }
        }
        settings.device = *port;
        try {
            map.Assign(channel, settings);
        } catch (const PortMapError& error) {
            throw UsageError("--port: " + std::string(error.what()));
        }
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
    // Measured time, send to the end of each attempt; wire time only where the link knows the
    // line's settings. Behind a converter the serial line's time is inside the network's,
    // at settings the converter keeps to itself.
    if (c.serialTime > SerialCounters::Duration::zero()) {
        out << "  serial line: " << Milliseconds(c.serialTime)
            << " from sends to replies (measured), of which " << Milliseconds(c.wireTime)
            << " the bytes' own wire time\n";
    }
    if (c.networkTime > SerialCounters::Duration::zero()) {
        out << "  network: " << Milliseconds(c.networkTime)
            << " from sends to replies (measured; the converter's own line is inside it)\n";
    }
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
