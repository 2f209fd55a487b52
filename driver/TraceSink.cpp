#include "driver/TraceSink.h"

namespace fuel {

TraceTime SystemTraceClock::Now() {
    using namespace std::chrono;
    const auto wall = time_point_cast<microseconds>(system_clock::now());
    return {wall.time_since_epoch().count(), steady_clock::now().time_since_epoch()};
}

MemoryTraceSink::MemoryTraceSink(std::shared_ptr<TraceClock> clock) : clock_(std::move(clock)) {}

TraceTime MemoryTraceSink::Now() {
    if (clock_) {
        return clock_->Now();
    }
    counted_.wall += 1;
    counted_.steady += std::chrono::microseconds(1);
    return counted_;
}

void MemoryTraceSink::Record(const TraceEvent& event) noexcept {
    try {
        events.push_back(event);
    } catch (...) {
        // Out of memory: the event is lost, the operation goes on.
    }
}

TraceEvent TraceHeader(TraceStamp time, std::string_view source) {
    TraceEvent header(time, "trace");
    header.With("format", kTraceFormat).With("source", source);
    return header;
}

}  // namespace fuel
