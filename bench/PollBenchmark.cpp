// The host polls every dispenser continuously, so a poll must cost one exchange per nozzle
// and allocate nothing. This measures a 6-nozzle poll through the recording test link (with
// recording off, serving replies it keeps without allocating): time per nozzle, and heap
// allocations per poll counted by a replaced global operator new. The same poll with the
// driver's trace on shows what the trace costs: its lines formatted only, and written to a
// file (flushed line by line, capped and rotated as at a station).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "driver/TVM30.h"
#include "driver/TraceFile.h"
#include "driver/TracedDriver.h"
#include "testing/RecordingLink.h"

namespace {

std::size_t allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using fuel::test::Bytes;

constexpr std::uint8_t kNozzles = 6;

// Replies of a dispenser whose six nozzles are all filling, plain layout, 12.34 litres.
std::array<Bytes, kNozzles + 1> RunningReplies() {
    std::array<Bytes, kNozzles + 1> replies;
    for (std::uint8_t n = 1; n <= kNozzles; ++n) {
        replies[n] = fuel::test::DataReply(
            {n, 'D', '2', '0', '0', '1', '2', '3', '4', '0', '0', '0', '0', '0'});
    }
    return replies;
}

template <typename Driver = fuel::TVM30>
struct PolledDispenser {
    fuel::test::RecordingLink link;
    Driver driver;
    std::array<Bytes, kNozzles + 1> replies = RunningReplies();

    template <typename... Trace>
    explicit PolledDispenser(Trace&&... trace) : driver(0, &link, "", trace...) {
        link.recording = false;
        link.server = [this](std::span<const std::uint8_t> frame) {
            return std::span<const std::uint8_t>(replies[frame[1]]);
        };
        fuel::DispenserState state;
        state.DispenserMode = 0x31;
        driver.RestoreDispenser(1, 1, state);
    }
};

void ReportCounters(benchmark::State& state, std::size_t allocationsInLoop) {
    state.counters["ns_per_nozzle"] = benchmark::Counter(
        static_cast<double>(kNozzles),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_poll"] =
        static_cast<double>(allocationsInLoop) / static_cast<double>(state.iterations());
}

void BM_PollDispenserStatus(benchmark::State& state) {
    PolledDispenser<> dispenser;
    fuel::StatusRecord record;
    const std::size_t before = allocations;
    for (auto _ : state) {
        dispenser.driver.PollDispenserStatus(1, 1, kNozzles, record);
        benchmark::DoNotOptimize(record);
    }
    ReportCounters(state, allocations - before);
    if (record.Summary() != 217 || dispenser.driver.Tables().NozzleVolume[1][1][6] != 12.34) {
        state.SkipWithError("the poll did not decode the replies");
    }
}
BENCHMARK(BM_PollDispenserStatus);

// The extended poll a host usually makes: the controller mode is re-read less and less
// often while it stays the same, so in a long run its cost fades.
void BM_PollDispenserStatusEx(benchmark::State& state) {
    PolledDispenser<> dispenser;
    fuel::DispenserState quiet = dispenser.driver.Tables().Dispenser(1, 1);
    quiet.ModeRecheckCountdown = 1 << 30;  // no cell reads in the loop
    dispenser.driver.RestoreDispenser(1, 1, quiet);
    fuel::StatusRecordEx record;
    const std::size_t before = allocations;
    for (auto _ : state) {
        dispenser.driver.PollDispenserStatusEx(1, 1, kNozzles, record);
        benchmark::DoNotOptimize(record);
    }
    ReportCounters(state, allocations - before);
}
BENCHMARK(BM_PollDispenserStatusEx);

// A sink that makes every line and keeps none: the trace's own work without the disk.
class FormattingSink final : public fuel::TraceSink {
  public:
    fuel::TraceTime Now() override { return clock_.Now(); }
    void Record(const fuel::TraceEvent& event) noexcept override {
        benchmark::DoNotOptimize(fuel::FormatTraceLine(event));
    }

  private:
    fuel::SystemTraceClock clock_;
};

template <typename Sink>
void PollTraced(benchmark::State& state, std::shared_ptr<Sink> sink) {
    PolledDispenser<fuel::TracedDriver> dispenser(sink);
    fuel::StatusRecord record;
    const std::size_t before = allocations;
    for (auto _ : state) {
        dispenser.driver.PollDispenserStatus(1, 1, kNozzles, record);
        benchmark::DoNotOptimize(record);
    }
    ReportCounters(state, allocations - before);
    if (record.Summary() != 217) {
        state.SkipWithError("the poll did not decode the replies");
    }
}

void BM_PollDispenserStatusTracedFormatOnly(benchmark::State& state) {
    PollTraced(state, std::make_shared<FormattingSink>());
}
BENCHMARK(BM_PollDispenserStatusTracedFormatOnly);

void BM_PollDispenserStatusTracedToFile(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "fuel-poll-benchmark.trace";
    PollTraced(state,
               std::make_shared<fuel::TraceFile>(
                   fuel::TraceFileSettings{path, fuel::kDefaultTraceBytes}, "benchmark", nullptr));
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    std::filesystem::remove(fuel::TraceFile::Predecessor(path), ignored);
}
BENCHMARK(BM_PollDispenserStatusTracedToFile);

}  // namespace

BENCHMARK_MAIN();
