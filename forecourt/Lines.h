// Opening a line from the configuration: the one place that knows which links exist (a
// serial port or a converter's TCP port through the serial link, the embedded emulator
// through the emulator link), so that the poll loops see only the HostLink and a few hooks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "driver/HostLink.h"
#include "forecourt/Config.h"
#include "link/Line.h"

namespace fuel::forecourt {

// Every line has one channel: each poll loop owns its driver object, so channels never meet.
inline constexpr std::uint32_t kChannel = 1;

struct OpenedLine {
    std::unique_ptr<HostLink> link;
    // The line's counters as they are now; called only on the line's loop thread.
    std::function<LineCounters()> counters;
    // Called by the loop once per poll cycle (the embedded emulator's customers act here).
    std::function<void()> afterCycle;
    // Called by the loop when it has authorised a fuel point (the embedded emulator's
    // customers take it as the cashier's word that the pump is theirs).
    std::function<void(int address)> authorised;
    // Whatever else the line needs kept alive (the emulator, its clock, its customers).
    std::shared_ptr<void> keepAlive;
};

// Opens the line the configuration describes. Throws ConfigError (with the line's section)
// when its port cannot be understood or its bus file cannot be read; a port that does not
// open is not an error here (the loop shows its fuel points OFFLINE and keeps trying).
OpenedLine OpenLine(const Config& config, const LineConfig& line);

// How the forecourt opens its lines; tests and benchmarks hand in their own.
using LineOpener = std::function<OpenedLine(const Config& config, const LineConfig& line)>;

}  // namespace fuel::forecourt
