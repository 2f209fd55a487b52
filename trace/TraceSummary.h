// What a support engineer reads first about a trace: its time span, the operations and the
// exchanges per channel and dispenser, the failures by the reply check's codes and by the
// link's own, the dispensers that stayed silent, the retries, the slowest exchanges, and the
// stretches during which a channel's link state stayed bad. A trace of fuel-emulator adds
// the requests it served and the faults it was told to inject, where it injected them.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "trace/TraceLog.h"

namespace fuel::trace {

struct TraceSummary {
    // Channel 0 or dispenser 0: the trace does not say.
    struct Place {
        std::int64_t channel = 0;
        std::int64_t dispenser = 0;
        auto operator<=>(const Place&) const = default;
    };
    struct Tally {
        std::uint64_t operations = 0;
        std::uint64_t exchanges = 0;
        std::uint64_t failed = 0;
        std::uint64_t retries = 0;
        std::uint64_t silent = 0;       // no reply reached the reply check
        std::uint64_t implausible = 0;  // accepted, yet the driver set the link state bad
        std::uint64_t requests = 0;     // served by the emulator
        std::uint64_t unanswered = 0;   // requests the emulator left without a reply
    };
    struct Slow {
        std::int64_t microseconds = 0;
        std::string where;
        Place place;
        std::vector<std::uint8_t> frame;
        std::int32_t result = 0;
    };
    struct Stretch {
        std::int64_t channel = 0;
        TraceStamp from = 0;
        TraceStamp to = 0;
        std::uint64_t exchanges = 0;
        std::string fromWhere;
        std::string toWhere;
        bool open = false;  // still bad where the trace ends
    };

    std::size_t lines = 0;
    std::optional<TraceStamp> first;
    std::optional<TraceStamp> last;
    std::map<std::string, std::uint64_t> sources;  // "driver", "fuelctl", "emulator"
    std::vector<std::string> options;              // each distinct options line, in order

    std::uint64_t operations = 0;
    std::uint64_t nested = 0;
    std::uint64_t failedOperations = 0;
    std::map<std::string, std::uint64_t> operationsByName;
    std::map<std::string, std::map<Place, std::uint64_t>> failuresByMessage;

    std::uint64_t exchanges = 0;
    std::uint64_t failedExchanges = 0;
    std::uint64_t retries = 0;
    std::map<Place, Tally> places;
    // Rejections by the reply check's code (every reply it judged, retries included), and
    // exchanges that failed with a code of the link's own.
    std::map<std::int32_t, std::map<Place, std::uint64_t>> replyCodes;
    std::map<std::int32_t, std::map<Place, std::uint64_t>> linkCodes;
    std::vector<Slow> slowest;  // the slowest first
    std::vector<Stretch> stretches;

    std::uint64_t requests = 0;
    std::map<std::string, std::map<Place, std::uint64_t>> faults;  // by fault, where injected
    std::vector<std::string> faultRequests;  // "checksum: request 17 (dispenser 3)"

    std::uint64_t lost = 0;  // lines the trace itself could not write
    std::vector<std::string> troubles;
};

TraceSummary Summarise(const TraceLog& log);
void PrintSummary(const TraceSummary& summary, const TraceLog& log, std::ostream& out);

}  // namespace fuel::trace
