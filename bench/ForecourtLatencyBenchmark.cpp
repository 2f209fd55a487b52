// From a poll that sees a fuel point change to the subscriber that hears of it: the loop
// decides, the journal commits the event (synchronous=FULL, on this machine's disk), the
// publisher hands it on. The emulated bus runs in-process on a virtual clock, so the line's
// own time is not in the figure; the poll's time is marked when the reply that shows the
// change has been taken, and the event's when the subscriber is called.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "emulator/Emulator.h"
#include "forecourt/Forecourt.h"
#include "testing/SharedBus.h"
#include "testing/TestFiles.h"

namespace {

using namespace fuel::forecourt;
using Clock = std::chrono::steady_clock;

constexpr char kBus[] = "auto-lift = no\n[dispenser 1]\nnozzles = 2\nprice = 45.67 48.17\n";
constexpr char kStation[] =
    "[forecourt]\ndatabase = journal.db\n[line bus]\nport = emulator:in-process\n"
    "[grade 95]\nname = Super 95\nprice = 45.67\n[grade 92]\nname = Regular 92\nprice = 48.17\n"
    "[fuel-point 1]\nline = bus\naddress = 1\nnozzles = 95 92\n";
constexpr std::uint8_t kWaiting = 0x11;  // the status character of a lifted nozzle
constexpr std::uint8_t kIdle = '0';

void BM_PollToEvent(benchmark::State& state) {
    const fuel::test::TemporaryDirectory dir;
    fuel::test::SharedBus bus(fuel::emulator::ParseConfig(kBus));
    bus.speed = 0;  // the bus's clock runs free: nothing but our own work in the figure

    std::mutex mutex;
    std::condition_variable heard;
    std::uint8_t awaited = 0;  // the status character whose first sight starts the clock
    std::optional<Clock::time_point> seen;
    std::optional<Clock::time_point> published;
    FuelPointState expected = FuelPointState::Idle;
    bus.watch = [&](std::span<const std::uint8_t> frame, std::span<const std::uint8_t> reply) {
        if (frame.size() < 3 || frame[2] != 'D' || frame[1] != 1 || reply.size() != 18)
            return;
        std::lock_guard lock(mutex);
        if (awaited != 0 && !seen && (reply[4] & 0x7F) == awaited)
            seen = Clock::now();
    };

    Options options;
    options.openLine = [&](const Config&, const LineConfig&) { return bus.Open(); };
    Forecourt forecourt(ParseConfig(kStation, dir.Path() / "station.ini"), options);
    forecourt.Start();
    Subscription subscription = forecourt.Subscribe(
        std::nullopt,
        [&](const Event& event) {
            if (event.type != event_type::kFuelPoint)
                return;
            const auto now = Clock::now();
            std::lock_guard lock(mutex);
            if (event.data["state"] == Name(expected) && seen && !published) {
                published = now;
                heard.notify_all();
            }
        },
        false);

    std::vector<double> microseconds;
    const auto change = [&](std::uint8_t status, FuelPointState state, auto act) {
        {
            std::lock_guard lock(mutex);
            awaited = status;
            expected = state;
            seen.reset();
            published.reset();
        }
        bus.With(act);
        std::unique_lock lock(mutex);
        heard.wait(lock, [&] { return published.has_value(); });
        microseconds.push_back(
            std::chrono::duration<double, std::micro>(*published - *seen).count());
    };
    for (auto _ : state) {
        change(kWaiting, FuelPointState::Calling,
               [](fuel::emulator::Emulator& e) { return (e.LiftNozzle(1, 1), 0); });
        change(kIdle, FuelPointState::Idle,
               [](fuel::emulator::Emulator& e) { return (e.HangUpNozzle(1, 1), 0); });
    }
    std::sort(microseconds.begin(), microseconds.end());
    const auto at = [&](double share) {
        return microseconds[static_cast<std::size_t>(share *
                                                     static_cast<double>(microseconds.size() - 1))];
    };
    state.counters["changes"] = static_cast<double>(microseconds.size());
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = microseconds.back();
    subscription.Cancel();
    forecourt.Stop();
}
BENCHMARK(BM_PollToEvent)->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
