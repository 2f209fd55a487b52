// /metrics in the Prometheus text format (version 0.0.4): the lines' exchanges, failures by
// kind and poll cycle times, each fuel point's state, the clients connected and the events
// published. Made from copies (the lines' health, a snapshot, the server's counters), so
// that a scrape never touches a line.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "forecourt/Forecourt.h"

namespace fuel::server {

// The server's own counts, bumped by the sessions on any thread.
struct ServerCounters {
    std::atomic<std::int64_t> requestConnections{0};        // open connections reading requests
    std::atomic<std::int64_t> eventStreams{0};              // open Server-Sent Events streams
    std::atomic<std::int64_t> webSockets{0};                // open WebSocket streams
    std::atomic<std::uint64_t> refused{0};                  // connections over the limit
    std::array<std::atomic<std::uint64_t>, 6> responses{};  // by class: [2] is 2xx ...

    void CountResponse(int status);
};

struct EventCounts {
    std::uint64_t published = 0;  // events the hub received from the forecourt
    std::uint64_t dropped = 0;    // clients dropped for falling behind
};

std::string FormatMetrics(const std::vector<forecourt::LineHealth>& lines,
                          const forecourt::Snapshot& snapshot, const ServerCounters& counters,
                          const EventCounts& events);

}  // namespace fuel::server
