// What a listener counts as it serves, bumped by its sessions on any thread and read by the
// daemon's /metrics: the connections open by kind, those refused, the answers by class.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace fuel::http {

struct ServerCounters {
    std::atomic<std::int64_t> requestConnections{0};        // open connections reading requests
    std::atomic<std::int64_t> eventStreams{0};              // open Server-Sent Events streams
    std::atomic<std::int64_t> webSockets{0};                // open WebSocket streams
    std::atomic<std::uint64_t> refused{0};                  // connections over the limit
    std::array<std::atomic<std::uint64_t>, 6> responses{};  // by class: [2] is 2xx ...

    void CountResponse(int status);
};

}  // namespace fuel::http
