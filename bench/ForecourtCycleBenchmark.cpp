// The forecourt's poll cycles, four lines in parallel: four fuel-emulator processes, each on a
// pseudo-terminal pacing its replies at 4800 baud with a 5 ms turnaround, each with the
// example station's four two-nozzle dispensers, each polled by its own loop of one forecourt
// (with its journal, publisher and board running). Each line's cycle is set against what the
// line itself allows over the same window: every byte each way at 10 bits, plus the
// controller's turnaround once per frame. Whatever a cycle spends beyond that is ours: the
// driver, the link, the loop, the journal, and four loops sharing the machine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "forecourt/Forecourt.h"
#include "testing/EmulatorProcess.h"
#include "testing/TestFiles.h"

namespace {

using namespace fuel::forecourt;
using namespace std::chrono_literals;

constexpr int kLines = 4;
constexpr int kTurnaroundMs = 5;
constexpr std::uint32_t kBaud = 4800;

std::string Station(const std::vector<std::string>& devices) {
    std::string text =
        "[forecourt]\ndatabase = journal.db\n[grade 95]\nname = Super 95\nprice = 45.67\n"
        "[grade 92]\nname = Regular 92\nprice = 48.17\n";
    int id = 0;
    for (std::size_t line = 0; line < devices.size(); ++line) {
        const std::string name = "line" + std::to_string(line + 1);
        text += "[line " + name + "]\nport = " + devices[line] + " timeout=500\n";
        for (int address : {1, 3, 5, 7}) {
            text += "[fuel-point " + std::to_string(++id) + "]\nline = " + name +
                    "\naddress = " + std::to_string(address) + "\nnozzles = 95 92\n";
        }
    }
    return text;
}

struct Window {
    fuel::LineCounters counters;
    std::uint64_t cycles = 0;
};

void BM_FourLinesInParallel(benchmark::State& state) {
    const fuel::test::TemporaryDirectory dir;
    std::vector<std::unique_ptr<fuel::test::EmulatorProcess>> emulators;
    std::vector<std::string> devices;
    for (int i = 0; i < kLines; ++i) {
        emulators.push_back(
            std::make_unique<fuel::test::EmulatorProcess>(fuel::test::EmulatorLaunch{
                .program = FUEL_EMULATOR_PATH,
                .config = std::string(FUEL_SOURCE_DIR) + "/examples/bus/station.conf",
                .arguments = {"--baud", std::to_string(kBaud), "--turnaround",
                              std::to_string(kTurnaroundMs)},
            }));
        devices.push_back(emulators.back()->Device());
    }
    Forecourt forecourt(ParseConfig(Station(devices), dir.Path() / "station.ini"));
    forecourt.Start();
    std::this_thread::sleep_for(3s);  // past the controllers' first mode reads

    std::vector<double> measured(kLines), limit(kLines);
    std::uint64_t cycles = 0;
    for (auto _ : state) {
        std::vector<fuel::forecourt::LineHealth> before = forecourt.Health();
        const auto started = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(5s);
        std::vector<fuel::forecourt::LineHealth> after = forecourt.Health();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        for (int i = 0; i < kLines; ++i) {
            const auto& a = before[static_cast<std::size_t>(i)];
            const auto& b = after[static_cast<std::size_t>(i)];
            const auto done = b.cycles - a.cycles;
            const auto bytes = (b.counters.bytesSent - a.counters.bytesSent) +
                               (b.counters.bytesReceived - a.counters.bytesReceived);
            const auto frames = b.counters.attempts - a.counters.attempts;
            // The cycles that finished in the window, at their measured mean, against the
            // wire time of everything the line carried in it.
            measured[static_cast<std::size_t>(i)] += took.count();
            limit[static_cast<std::size_t>(i)] +=
                static_cast<double>(bytes) * 10.0 / kBaud +
                static_cast<double>(frames) * kTurnaroundMs / 1000.0;
            if (i == 0)
                cycles += done;
            state.counters["line" + std::to_string(i + 1) + "_cycle_ms"] =
                std::chrono::duration<double, std::milli>(b.meanCycle).count();
            state.counters["line" + std::to_string(i + 1) + "_failed"] =
                static_cast<double>(b.counters.failed);
        }
        state.SetIterationTime(took.count());
    }
    for (int i = 0; i < kLines; ++i) {
        const auto n = static_cast<std::size_t>(i);
        state.counters["line" + std::to_string(i + 1) + "_over_limit_%"] =
            (measured[n] / limit[n] - 1.0) * 100.0;
    }
    state.counters["line1_cycles"] = static_cast<double>(cycles);
    forecourt.Stop();
}
BENCHMARK(BM_FourLinesInParallel)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
