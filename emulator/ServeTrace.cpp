#include "emulator/ServeTrace.h"

namespace fuel::emulator {

TraceEvent ServeEvent(TraceStamp time, std::uint64_t number, std::uint32_t channel,
                      std::uint8_t dispenser, std::span<const std::uint8_t> request,
                      std::span<const std::uint8_t> reply, std::optional<Fault> fault,
                      Duration took) {
    TraceEvent event(time, "serve");
    event.With("n", number);
    if (channel != 0) {
        event.With("ch", channel);
    }
    if (dispenser != 0) {
        event.With("disp", dispenser);
    }
    event.WithHex("frame", request).WithHex("reply", reply);
    if (fault) {
        event.With("fault", FaultName(*fault));
    }
    event.With("us", std::chrono::duration_cast<std::chrono::microseconds>(took).count());
    return event;
}

}  // namespace fuel::emulator
