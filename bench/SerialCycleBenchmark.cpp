// A polling cycle over a real serial line: the driver polls a full channel (eight
// four-nozzle dispensers numbered 1, 5, ..., 29) through the serial link, against
// fuel-emulator on a pseudo-terminal pacing its replies at 4800 baud. The cycle's wall time
// is set against what the line itself allows: every byte each way at 10 bits, plus the
// controller's turnaround once per frame. Whatever the cycle spends beyond that is ours.
//
// Two settings of the link: wide time-outs, which a loaded machine cannot trip, and the
// driver's own (a 75 ms reply time-out, the default inter-byte time-out), as a station runs
// it. While replies come whole the two cost the same.
//
// And the same cycle through a converter: fuel-emulator behind its TCP port on the loopback
// address, pacing the converter's serial line at 4800 baud. The limit is then that emulated
// line's time, which the emulator's settings give; the link itself knows no wire time for
// a TCP line, only what it measured (measured_ms: sends to replies, the network included),
// so whatever the network adds counts against the limit.
#include <benchmark/benchmark.h>

#include <chrono>
#include <optional>
#include <string>

#include "testing/DriverOnSerialLine.h"
#include "testing/EmulatorProcess.h"
#include "testing/TestFiles.h"

namespace {

constexpr int kTurnaroundMs = 5;
constexpr std::uint32_t kBaud = 4800;

std::string ChannelConfig() {
    std::string text;
    for (int number = 1; number <= 29; number += 4) {
        text += "[dispenser " + std::to_string(number) + "]\nnozzles = 4\n";
    }
    return text;
}

enum class Line { Pty, Tcp };

enum class Timeouts { Wide, Driver };

void BM_SerialPollingCycle(benchmark::State& state, Line line, Timeouts timeouts) {
    const fuel::test::TemporaryDirectory dir;
    fuel::test::WriteBytes(dir.Path() / "bus.conf", ChannelConfig());
    const fuel::test::EmulatorProcess emulator({
        .program = FUEL_EMULATOR_PATH,
        .config = (dir.Path() / "bus.conf").string(),
        .tcpPort = line == Line::Tcp ? std::optional<std::uint16_t>(0) : std::nullopt,
        .arguments = {"--baud", std::to_string(kBaud), "--turnaround",
                      std::to_string(kTurnaroundMs)},
    });
    fuel::PortSettings port;
    port.device = emulator.Device();
    if (timeouts == Timeouts::Wide) {
        // The emulator is a process of its own, and on a loaded machine it may be held up
        // longer than a controller ever is; wide time-outs keep that from failing the cycle.
        // They cost nothing while replies come.
        port.replyTimeout = std::chrono::milliseconds(500);
        port.interByteTimeout = std::chrono::milliseconds(100);
    }
    fuel::test::DriverOnSerialLine serial(port);
    fuel::SerialLink& link = serial.link;
    fuel::TVM30& driver = serial.driver;
    if (const std::string problem = serial.Open(); !problem.empty()) {
        state.SkipWithError(("no line: " + problem).c_str());
        return;
    }
    const auto cycle = [&] {
        for (std::uint8_t dispenser = 1; dispenser <= 29; dispenser += 4) {
            fuel::StatusRecordEx record;
            driver.PollDispenserStatusEx(1, dispenser, 4, record);
        }
    };
    // A failed exchange raises; it must end the run here, where the emulator is still
    // stopped on the way out.
    const auto failed = [&](const fuel::Exception& error) {
        state.SkipWithError(("the line failed: " + error.Message() + " (" +
                             std::string(fuel::DescribeLineCode(link.GetChannelError(1))) + ")")
                                .c_str());
    };
    try {
        cycle();  // the controllers' modes are read once here, as a host's first poll does
    } catch (const fuel::Exception& error) {
        failed(error);
        return;
    }
    link.ResetCounters();

    double measured = 0;
    double limit = 0;
    for (auto _ : state) {
        const fuel::LineCounters before = link.Counters();
        const auto started = std::chrono::steady_clock::now();
        try {
            cycle();
        } catch (const fuel::Exception& error) {
            failed(error);
            return;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        const fuel::LineCounters& after = link.Counters();
        const auto bytes =
            (after.bytesSent - before.bytesSent) + (after.bytesReceived - before.bytesReceived);
        const auto frames = after.attempts - before.attempts;
        const double wire = static_cast<double>(bytes) * 10.0 / kBaud +
                            static_cast<double>(frames) * kTurnaroundMs / 1000.0;
        state.SetIterationTime(took.count());
        measured += took.count();
        limit += wire;
    }
    const auto cycles = static_cast<double>(state.iterations());
    const fuel::LineCounters& c = link.Counters();
    state.counters["cycle_ms"] = measured / cycles * 1000.0;
    state.counters["limit_ms"] = limit / cycles * 1000.0;
    state.counters["over_limit_%"] = (measured / limit - 1.0) * 100.0;
    state.counters["frames"] = static_cast<double>(c.attempts) / cycles;
    state.counters["bytes"] = static_cast<double>(c.bytesSent + c.bytesReceived) / cycles;
    state.counters["failed"] = static_cast<double>(c.failed);
    state.counters["retries"] = static_cast<double>(c.retries);
    state.counters["measured_ms"] =
        std::chrono::duration<double, std::milli>(c.serialTime + c.networkTime).count() / cycles;
}
BENCHMARK_CAPTURE(BM_SerialPollingCycle, wide_timeouts, Line::Pty, Timeouts::Wide)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_SerialPollingCycle, driver_timeouts, Line::Pty, Timeouts::Driver)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_SerialPollingCycle, tcp_driver_timeouts, Line::Tcp, Timeouts::Driver)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
