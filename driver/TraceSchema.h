// The lines of a trace that describe the driver rather than one of its operations: the
// options it runs with ("options") and what its tables hold that a new driver would not know
// ("state"). The traced driver writes them and the replay reads them back through these
// functions, so that the two agree on every key; the keys of the operations' own lines come
// from the list of host operations (driver/HostOperations.def).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "driver/TVM30.h"
#include "driver/TraceFormat.h"

namespace fuel {

// Where an operation or an exchange took place: its channel, and its dispenser or the bus
// address of a parameter command.
namespace trace_key {
inline constexpr std::string_view kChannel = "ch";
inline constexpr std::string_view kDispenser = "disp";
inline constexpr std::string_view kAddress = "addr";
}  // namespace trace_key

// "options flags=64 OrigAdres=0 StartInLiter=1 WStart=0 WDoza=1"
struct TracedOptions {
    std::uint32_t flags = 0;
    DriverOptions options;
};
TraceEvent OptionsLine(TraceStamp time, const TracedOptions& options);
// Throws TraceFormatError naming the field.
TracedOptions ReadOptionsLine(const TraceEvent& line);

// "state ch=3 link=3" for a channel whose LinkState is not the good one;
// "state ch=2 disp=5 mode=66 vdec=3 ... status=192,0,... price=... volume=..." for a
// dispenser.
TraceEvent LinkStateLine(TraceStamp time, std::int64_t channel, std::uint8_t linkState);
TraceEvent DispenserStateLine(TraceStamp time, std::int64_t channel, std::int64_t dispenser,
                              const DispenserState& state);
// The lines of every channel and dispenser whose entries are not a new driver's, channel by
// channel, each channel's link before its dispensers.
std::vector<TraceEvent> StateLines(TraceStamp time, const DriverTables& tables);
// Puts what a "state" line says back into the driver's tables. A line that does not read
// throws TraceFormatError (or ERangeError for a channel or dispenser out of range) and
// changes nothing. Lists shorter than six nozzles change only the nozzles they hold.
void RestoreStateLine(TVM30& driver, const TraceEvent& line);

}  // namespace fuel
