// /metrics in the Prometheus text format (version 0.0.4): the lines' exchanges, failures by
// kind and poll cycle times, each fuel point's state, the clients connected and the events
// published. Made from copies (the lines' health, a snapshot, the server's counters), so
// that a scrape never touches a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "forecourt/Forecourt.h"
#include "http/Counters.h"

namespace fuel::server {

struct EventCounts {
    std::uint64_t published = 0;  // events the hub received from the forecourt
    std::uint64_t dropped = 0;    // clients dropped for falling behind
};

std::string FormatMetrics(const std::vector<forecourt::LineHealth>& lines,
                          const forecourt::Snapshot& snapshot, const http::ServerCounters& counters,
                          const EventCounts& events);

}  // namespace fuel::server
