// A station for the forecourt's in-process tests: two plain dispensers (1, and 3 with marked
// replies), a slow one (5) for fills that take no fuel, a mode-'0' one (7) that dispenses
// when a nozzle is lifted, and a fuel point whose dispenser is not on the bus, all on one emulated
// line on a virtual clock. The test plays the customers and the tills; it waits for what the
// forecourt reports, never for time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/Emulator.h"
#include "forecourt/Forecourt.h"
#include "testing/SharedBus.h"
#include "testing/TestFiles.h"

namespace fuel::forecourt::test {

inline constexpr char kBus[] = R"(
addressing = sequential
auto-lift = no
[dispenser 1]
nozzles = 2
mode = 1
flow = 2
price = 45.67 48.17
total = 1000.00 2000.00
[dispenser 3]
nozzles = 2
mode = 1
layout = marked
flow = 2
price = 45.67 48.17
total = 3000.00 4000.00
[dispenser 5]
nozzles = 1
mode = 1
flow = 0.000001
price = 45.67
total = 5000.00
[dispenser 7]
nozzles = 1
mode = 0
flow = 1
price = 51.20
total = 7000.00
)";

inline constexpr char kStation[] = R"(
[forecourt]
database = journal.db
sale-buffer = 2

[line bus]
port = emulator:the-test-opens-it

[grade 95]
name = Super 95
price = 45.67

[grade 92]
name = Regular 92
price = 48.17

[grade DT]
name = Diesel
price = 51.20

[fuel-point 1]
line = bus
address = 1
nozzles = 95 92

[fuel-point 2]
line = bus
address = 3
nozzles = 95 92

[fuel-point 3]
line = bus
address = 5
nozzles = 95

[fuel-point 4]
line = bus
address = 7
nozzles = DT
release = pump

[fuel-point 9]
line = bus
address = 9
nozzles = DT
)";

class Station : public ::testing::Test {
  protected:
    using Seconds = std::chrono::seconds;

    Station() : bus_(emulator::ParseConfig(kBus)) {}
    ~Station() override { StopForecourt(); }

    void StartForecourt() {
        Config config = ParseConfig(kStation, directory_.Path() / "station.ini");
        Options options;
        options.openLine = [this](const Config&, const LineConfig&) { return bus_.Open(); };
        forecourt_ = std::make_unique<Forecourt>(std::move(config), std::move(options));
        forecourt_->Start();
        subscription_ = forecourt_->Subscribe(forecourt_->GetJournal().LastSequence(),
                                              [this](const Event& event) {
                                                  std::lock_guard lock(mutex_);
                                                  if (event.Journaled())
                                                      events_.push_back(event);
                                                  changed_.notify_all();
                                              });
    }
    void StopForecourt() {
        subscription_.Cancel();
        forecourt_.reset();
    }

    Forecourt& Court() { return *forecourt_; }
    fuel::test::SharedBus& Bus() { return bus_; }
    const std::filesystem::path& Directory() const { return directory_.Path(); }

    Caller As(const std::string& client) { return {client, "key-" + std::to_string(++keys_)}; }

    Outcome Authorise(int point, Preset preset, const Caller& caller,
                      std::vector<std::string> grades = {}, bool prepaid = false) {
        AuthoriseRequest request{point, preset, std::move(grades), prepaid};
        return Forecourt::Await([&](Done done) { Court().Authorise(request, caller, done); });
    }
    Outcome Run(const std::function<void(Done)>& command) { return Forecourt::Await(command); }
    // Every stretch of the nozzle's totaliser that differs from our fills since `from`,
    // page after page.
    nlohmann::json DiscrepanciesOf(int point, int nozzle, Time from) {
        DiscrepancyRequest request;
        request.fuelPoint = point;
        request.nozzle = nozzle;
        request.from = from;
        request.to = std::chrono::system_clock::now();
        nlohmann::json all = nlohmann::json::array();
        for (int page = 0; page < 100; ++page) {
            const Outcome outcome = Run([&](Done d) { Court().Discrepancies(request, d); });
            EXPECT_TRUE(outcome.Ok()) << outcome.message;
            for (const auto& gap : outcome.data["discrepancies"])
                all.push_back(gap);
            if (!outcome.data["cursor"].is_string())
                break;
            request.cursor = outcome.data["cursor"].get<std::string>();
        }
        return all;
    }

    FuelPointView Point(int id) { return *Court().FuelPoint(id); }
    FuelPointState StateOf(int id) { return Point(id).state; }

    // Waits (a bounded while) until the forecourt shows what the test expects.
    bool Eventually(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }
    bool EventuallyState(int point, FuelPointState state) {
        return Eventually([&] { return StateOf(point) == state; });
    }
    // Lets the loop run some full cycles.
    void Cycles(std::uint64_t count) {
        const std::uint64_t from = Court().Health().front().cycles;
        ASSERT_TRUE(Eventually([&] { return Court().Health().front().cycles >= from + count; }));
    }
    std::vector<Sale> SalesOf(int point) {
        SaleFilter filter;
        filter.fuelPoint = point;
        return Court().Sales(filter);
    }
    bool EventuallySales(int point, std::size_t count) {
        return Eventually([&] { return SalesOf(point).size() >= count; });
    }

    void Lift(int dispenser, int nozzle) {
        bus_.With([&](emulator::Emulator& bus) {
            bus.LiftNozzle(static_cast<std::uint8_t>(dispenser), static_cast<std::uint8_t>(nozzle));
        });
    }
    void HangUp(int dispenser, int nozzle) {
        bus_.With([&](emulator::Emulator& bus) {
            bus.HangUpNozzle(static_cast<std::uint8_t>(dispenser),
                             static_cast<std::uint8_t>(nozzle));
        });
    }
    emulator::NozzleView Nozzle(int dispenser, int nozzle) {
        return bus_.With([&](emulator::Emulator& bus) {
            return bus.Nozzle(static_cast<std::uint8_t>(dispenser),
                              static_cast<std::uint8_t>(nozzle));
        });
    }
    // A whole fill on fuel point 1 (dispenser 1) nozzle 1: authorised, lifted, to its dose,
    // hung up. Returns the sale.
    Sale Fill(int point, int dispenser, int nozzle, Preset preset, const Caller& caller) {
        const std::size_t before = SalesOf(point).size();
        EXPECT_TRUE(Authorise(point, preset, caller).Ok());
        Lift(dispenser, nozzle);
        EXPECT_TRUE(EventuallySales(point, before + 1));
        HangUp(dispenser, nozzle);
        return SalesOf(point).front();
    }

    // Every event committed so far, once the subscriber has had them all.
    std::vector<Event> Events() {
        const Sequence last = Court().GetJournal().LastSequence();
        EXPECT_TRUE(Eventually([&] {
            std::lock_guard lock(mutex_);
            return !events_.empty() && events_.back().sequence >= last;
        }));
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<Event> EventsOf(std::string_view type) {
        std::vector<Event> found;
        for (const Event& event : Events()) {
            if (event.type == type)
                found.push_back(event);
        }
        return found;
    }

  private:
    fuel::test::TemporaryDirectory directory_;
    fuel::test::SharedBus bus_;
    std::unique_ptr<Forecourt> forecourt_;
    Subscription subscription_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    int keys_ = 0;
};

}  // namespace fuel::forecourt::test
