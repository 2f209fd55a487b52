// The host polls every dispenser continuously, so a poll must cost one exchange per nozzle
// and allocate nothing. This measures a 6-nozzle poll through the recording test link (with
// recording off and a responder serving the replies): time per nozzle, and heap allocations
// per poll counted by a replaced global operator new.
//
// The recording link itself allocates while it serves a reply (the responder takes and
// returns byte vectors). That share is measured on its own, by calling the link exactly as
// the driver does, and subtracted: driver_allocs_per_poll is what the driver allocates.
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
        link.responder = [this](const Bytes& frame) { return replies[frame[1]]; };
        driver.DispenserMode[1][1] = 0x31;
    }

    // What the link allocates to serve one poll, driver aside: the same six requests made
    // to the link directly, judged by the reply check the driver registered.
    std::size_t LinkAllocationsPerPoll() {
        fuel::StatusRecord warmUp;
        driver.PollDispenserStatus(1, 1, kNozzles, warmUp);
        std::array<Bytes, kNozzles + 1> frames;
        for (std::uint8_t n = 1; n <= kNozzles; ++n) {
            frames[n] = fuel::test::FrameOf({n, 'D'});
        }
        std::array<std::uint8_t, fuel::kCommandBufferSize> reply{};
        const std::size_t before = allocations;
        for (std::uint8_t n = 1; n <= kNozzles; ++n) {
            link.Transact(1, frames[n].data(), static_cast<std::uint8_t>(frames[n].size()),
                          reply.data(), 18, 0);
        }
        return allocations - before;
    }
};

void ReportCounters(benchmark::State& state, std::size_t totalAllocations,
                    std::size_t linkAllocationsPerPoll) {
    const auto polls = static_cast<double>(state.iterations());
    const double perPoll = static_cast<double>(totalAllocations) / polls;
    state.counters["ns_per_nozzle"] = benchmark::Counter(
        static_cast<double>(kNozzles),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_poll"] = perPoll;
    state.counters["link_allocs_per_poll"] = static_cast<double>(linkAllocationsPerPoll);
    state.counters["driver_allocs_per_poll"] =
        perPoll - static_cast<double>(linkAllocationsPerPoll);
}

void BM_PollDispenserStatus(benchmark::State& state) {
    PolledDispenser dispenser;
    const std::size_t linkShare = dispenser.LinkAllocationsPerPoll();
    fuel::StatusRecord record;
    const std::size_t before = allocations;
    for (auto _ : state) {
        dispenser.driver.PollDispenserStatus(1, 1, kNozzles, record);
        benchmark::DoNotOptimize(record);
    }
    ReportCounters(state, allocations - before, linkShare);
    if (record.Summary() != 217 || dispenser.driver.NozzleVolume[1][1][6] != 12.34) {
        state.SkipWithError("the poll did not decode the replies");
    }
}
BENCHMARK(BM_PollDispenserStatus);

// The extended poll a host usually makes: the controller mode is re-read less and less
// often while it stays the same, so in a long run its cost fades.
void BM_PollDispenserStatusEx(benchmark::State& state) {
    PolledDispenser dispenser;
    const std::size_t linkShare = dispenser.LinkAllocationsPerPoll();
    dispenser.driver.ModeRecheckCountdown[1][1] = 1 << 30;  // no cell reads in the loop
    fuel::StatusRecordEx record;
    const std::size_t before = allocations;
    for (auto _ : state) {
        dispenser.driver.PollDispenserStatusEx(1, 1, kNozzles, record);
        benchmark::DoNotOptimize(record);
    }
    ReportCounters(state, allocations - before, linkShare);
}
BENCHMARK(BM_PollDispenserStatusEx);

}  // namespace

BENCHMARK_MAIN();
