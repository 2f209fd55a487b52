// The host polls every dispenser continuously, so a poll must cost one exchange per nozzle
// and allocate nothing. This measures a 6-nozzle poll through the recording test link (with
// recording off, serving replies it keeps without allocating): time per nozzle, and heap
// allocations per poll counted by a replaced global operator new.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <new>

#include "driver/TVM30.h"
#include "tests/support/RecordingLink.h"

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

struct PolledDispenser {
    fuel::test::RecordingLink link;
    fuel::TVM30 driver{0, &link, ""};
    std::array<Bytes, kNozzles + 1> replies = RunningReplies();

    PolledDispenser() {
        link.recording = false;
        link.server = [this](std::span<const std::uint8_t> frame) {
            return std::span<const std::uint8_t>(replies[frame[1]]);
        };
        driver.DispenserMode[1][1] = 0x31;
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
    PolledDispenser dispenser;
    fuel::StatusRecord record;
    const std::size_t before = allocations;
    for (auto _ : state) {
        dispenser.driver.PollDispenserStatus(1, 1, kNozzles, record);
        benchmark::DoNotOptimize(record);
    }
    ReportCounters(state, allocations - before);
    if (record.Summary() != 217 || dispenser.driver.NozzleVolume[1][1][6] != 12.34) {
        state.SkipWithError("the poll did not decode the replies");
    }
}
BENCHMARK(BM_PollDispenserStatus);

// The extended poll a host usually makes: the controller mode is re-read less and less
// often while it stays the same, so in a long run its cost fades.
void BM_PollDispenserStatusEx(benchmark::State& state) {
    PolledDispenser dispenser;
    dispenser.driver.ModeRecheckCountdown[1][1] = 1 << 30;  // no cell reads in the loop
    fuel::StatusRecordEx record;
    const std::size_t before = allocations;
    for (auto _ : state) {
        dispenser.driver.PollDispenserStatusEx(1, 1, kNozzles, record);
        benchmark::DoNotOptimize(record);
    }
    ReportCounters(state, allocations - before);
}
BENCHMARK(BM_PollDispenserStatusEx);

}  // namespace

BENCHMARK_MAIN();
