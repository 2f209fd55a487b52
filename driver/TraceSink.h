// Where a trace goes, and the time it is told in. The driver traces only through this
// interface, so that a station writes a file, a test keeps the events in memory, and a bench
// run on the emulator's virtual clock stamps its lines with the bus's own time.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "driver/TraceFormat.h"

namespace fuel {

struct TraceTime {
    TraceStamp wall = 0;                // for the line's stamp
    std::chrono::nanoseconds steady{};  // for durations: never steps back
};

class TraceClock {
  public:
    virtual ~TraceClock() = default;
    virtual TraceTime Now() = 0;
};

// The machine's clocks: UTC for the stamps, the steady clock for durations.
class SystemTraceClock final : public TraceClock {
  public:
    TraceTime Now() override;
};

class TraceSink {
  public:
    virtual ~TraceSink() = default;

    virtual TraceTime Now() = 0;
    // One event. Never throws: a sink that cannot keep an event drops it, and says so in
    // its own next line if it can.
    virtual void Record(const TraceEvent& event) noexcept = 0;

    // Files end and begin only where the caller says a reader can start (between two
    // operations of the host). NewFileDue says whether one should begin there (the first
    // file, or the current one is full); BeginFile begins it with the "trace" line, and the
    // caller then records what a reader needs before the first operation.
    virtual bool NewFileDue() noexcept { return false; }
    virtual void BeginFile() noexcept {}
};

// Keeps every event, for tests and for the replay, which compares what a driver does now
// with what it did then.
class MemoryTraceSink final : public TraceSink {
  public:
    explicit MemoryTraceSink(std::shared_ptr<TraceClock> clock = nullptr);
    TraceTime Now() override;
    void Record(const TraceEvent& event) noexcept override;

    std::vector<TraceEvent> events;

  private:
    std::shared_ptr<TraceClock> clock_;
    TraceTime counted_{};  // without a clock: a microsecond a reading
};

// The "trace" line that opens every file: the format and who wrote it ("driver",
// "fuelctl", "emulator").
TraceEvent TraceHeader(TraceStamp time, std::string_view source);

}  // namespace fuel
