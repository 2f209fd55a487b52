// A full channel polled through the emulator: eight four-nozzle dispensers numbered 1, 5, …,
// 29, so that their nozzle codes (1..32) do not overlap. One iteration is one cycle, every
// nozzle of every dispenser polled once. Reported per exchange: the CPU time of the driver,
// the in-process link and the emulator together; per cycle: the time the cycle would take on
// a real line at 4800 baud, from the link's wire-time model.
#include <benchmark/benchmark.h>

#include <string>

#include "driver/TVM30.h"
#include "emulator/Emulator.h"
#include "link/EmulatorLink.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kChannel = 1;
constexpr int kNozzlesPerDispenser = 4;
constexpr int kExchangesPerCycle = 8 * kNozzlesPerDispenser;

fuel::emulator::Config FullChannel() {
    std::string text;
    for (int d = 1; d <= 29; d += 4) {
        text += "[dispenser " + std::to_string(d) + "]\nnozzles = 4\nmode = 1\nprice = 45.67\n";
    }
    return fuel::emulator::ParseConfig(text);
}

struct Channel {
    fuel::emulator::Emulator bus{FullChannel()};
    fuel::EmulatorLink link{bus, kChannel};
    fuel::TVM30 driver{0, &link, ""};

    // Every dispenser busy: nozzle 1 of each runs a 20-litre fill, the others idle. (The
    // line's clock runs on for hours of model time in a long run, so the fills end; a fill
    // without a dose would pass 1000 litres, which the driver takes for a corrupt reply.)
    void StartFills() {
        for (std::uint8_t d = 1; d <= 29; d += 4) {
            driver.SetVolumeLimit(kChannel, d, 1, 0, 20.0);
            driver.StartPump(kChannel, d, 1);
        }
        link.ResetCounters();
    }
};

void Report(benchmark::State& state, const Channel& channel, std::uint64_t cycles) {
    const fuel::LineCounters& c = channel.link.Counters();
    const auto exchanges = static_cast<double>(c.exchanges);
    state.counters["exchanges_per_cycle"] = exchanges / static_cast<double>(cycles);
    // CPU time per exchange (the benchmark's own time is per cycle).
    state.counters["cpu_per_exchange"] =
        benchmark::Counter(exchanges, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["wire_ms_per_cycle"] =
        std::chrono::duration<double, std::milli>(c.wireTime).count() / static_cast<double>(cycles);
    state.counters["failed"] = static_cast<double>(c.failed);
}

// The plain status poll of every dispenser.
void BM_ChannelStatusPoll(benchmark::State& state) {
    Channel channel;
    channel.StartFills();
    fuel::StatusRecord record;
    std::uint64_t cycles = 0;
    for (auto _ : state) {
        for (std::uint8_t d = 1; d <= 29; d += 4) {
            channel.driver.PollDispenserStatus(kChannel, d, kNozzlesPerDispenser, record);
        }
        benchmark::DoNotOptimize(record);
        ++cycles;
    }
    Report(state, channel, cycles);
}
BENCHMARK(BM_ChannelStatusPoll)->Unit(benchmark::kMicrosecond);

// The extended poll, whose mode refresh backs off: a few cell reads early, fewer and fewer
// later, so a long run costs almost exactly one exchange per nozzle.
void BM_ChannelStatusPollEx(benchmark::State& state) {
    Channel channel;
    channel.StartFills();
    fuel::StatusRecordEx record;
    std::uint64_t cycles = 0;
    for (auto _ : state) {
        for (std::uint8_t d = 1; d <= 29; d += 4) {
            channel.driver.PollDispenserStatusEx(kChannel, d, kNozzlesPerDispenser, record);
        }
        benchmark::DoNotOptimize(record);
        ++cycles;
    }
    Report(state, channel, cycles);
}
BENCHMARK(BM_ChannelStatusPollEx)->Unit(benchmark::kMicrosecond);

// The line model alone, for one cycle: what a host polling this channel can expect at 4800
// baud, independent of the machine.
void BM_ChannelCycleWireTime(benchmark::State& state) {
    Channel channel;
    channel.StartFills();
    fuel::StatusRecord record;
    for (auto _ : state) {
        channel.link.ResetCounters();
        for (std::uint8_t d = 1; d <= 29; d += 4) {
            channel.driver.PollDispenserStatus(kChannel, d, kNozzlesPerDispenser, record);
        }
    }
    const fuel::LineCounters& c = channel.link.Counters();
    state.counters["wire_ms_per_cycle"] =
        std::chrono::duration<double, std::milli>(c.wireTime).count();
    state.counters["wire_ms_per_exchange"] =
        std::chrono::duration<double, std::milli>(c.wireTime).count() / kExchangesPerCycle;
    state.counters["exchanges_per_cycle"] = static_cast<double>(c.exchanges);
}
BENCHMARK(BM_ChannelCycleWireTime)->Iterations(10)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
