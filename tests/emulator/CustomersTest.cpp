// The emulated customers: they come when released and now and then unasked, leave when not
// served, hang up when their fill ends, and do the same again with the same seed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/Customers.h"
#include "tests/emulator/BusTestSupport.h"

namespace fuel::emulator {
namespace {

using namespace std::chrono_literals;
using test::Lifted;
using test::StepUntil;

Config Bus() {
    Config config = ParseConfig(R"(
auto-lift = no
[dispenser 1]
nozzles = 2
flow = 1
price = 40.00 50.00
)");
    return config;
}

// A controller's start command, as a host sends it.
void Start(Emulator& bus, std::uint8_t nozzle) {
    const std::uint8_t data[] = {NozzleAddress(false, 1, nozzle), 'u'};
    std::vector<std::uint8_t> frame = {'H', data[0], data[1], 0, 'E'};
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < frame.size(); ++i) {
        if (i != 3)
            sum = static_cast<std::uint8_t>(sum + frame[i]);
    }
    frame[3] = sum;
    ASSERT_EQ(bus.Handle(frame).length, 1);
}

CustomerSettings Settings(std::uint64_t seed) {
    CustomerSettings settings;
    settings.seed = seed;
    settings.arrivalMean = 24h;  // nobody comes unasked unless a test wants it
    return settings;
}

TEST(CustomersTest, ReleasedPumpIsLiftedAndHungUpWhenTheDoseIsReached) {
    Emulator bus(Bus());
    Customers customers(bus, Settings(1));
    std::vector<double> ended;
    customers.onFillEnded = [&](std::uint8_t, std::uint8_t, const NozzleView& fill) {
        ended.push_back(fill.volume);
    };
    customers.Released(1);
    ASSERT_TRUE(StepUntil(
        bus, customers, [&] { return Lifted(bus) != 0; }, 5s));
    const std::uint8_t nozzle = Lifted(bus);
    EXPECT_EQ(bus.Nozzle(1, nozzle).phase, NozzlePhase::Waiting);
    // The host doses and starts the nozzle the customer lifted.
    const std::uint8_t dose[] = {NozzleAddress(false, 1, nozzle), 'd', '0', '0', '2', '0', '0'};
    std::vector<std::uint8_t> frame = {'H'};
    frame.insert(frame.end(), std::begin(dose), std::end(dose));
    std::uint8_t sum = 'H' + 'E';
    for (std::uint8_t byte : dose)
        sum = static_cast<std::uint8_t>(sum + byte);
    frame.push_back(sum);
    frame.push_back('E');
    ASSERT_EQ(bus.Handle(frame).length, 1);
    Start(bus, nozzle);
    ASSERT_TRUE(StepUntil(bus, customers, [&] { return Lifted(bus) == 0; }));
    EXPECT_EQ(bus.Nozzle(1, nozzle).phase, NozzlePhase::Ended);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_DOUBLE_EQ(ended[0], 2.0);
}

TEST(CustomersTest, WithoutADoseTheCustomerStopsAtTheirVolume) {
    Emulator bus(Bus());
    CustomerSettings settings = Settings(3);
    settings.litresMin = 4;
    settings.litresMax = 6;
    Customers customers(bus, settings);
    double volume = 0;
    customers.onFillEnded = [&](std::uint8_t, std::uint8_t, const NozzleView& fill) {
        volume = fill.volume;
    };
    customers.Released(1);
    ASSERT_TRUE(StepUntil(
        bus, customers, [&] { return Lifted(bus) != 0; }, 5s));
    Start(bus, Lifted(bus));
    ASSERT_TRUE(StepUntil(bus, customers, [&] { return Lifted(bus) == 0; }));
    EXPECT_GE(volume, 4.0);
    EXPECT_LE(volume, 6.2);  // noticed within a step of 100 ms at 1 l/s
}

TEST(CustomersTest, UnservedCustomerLeavesAfterTheirPatience) {
    Emulator bus(Bus());
    CustomerSettings settings = Settings(5);
    settings.arrivalMean = 30s;
    settings.patience = 20s;
    Customers customers(bus, settings);
    ASSERT_TRUE(StepUntil(bus, customers, [&] { return Lifted(bus) != 0; }));
    const Duration lifted = bus.Now();
    ASSERT_TRUE(StepUntil(bus, customers, [&] { return Lifted(bus) == 0; }));
    EXPECT_GE(bus.Now() - lifted, 20s);
    EXPECT_LE(bus.Now() - lifted, 20s + 100ms);
    EXPECT_EQ(bus.Nozzle(1, 1).phase, NozzlePhase::Idle);
    EXPECT_EQ(bus.Nozzle(1, 2).phase, NozzlePhase::Idle);
}

// Closing time: nobody comes unasked any more, but the cashier's word still brings one.
TEST(CustomersTest, AtClosingTimeOnlyTheReleasedCome) {
    Emulator bus(Bus());
    CustomerSettings settings = Settings(5);
    settings.arrivalMean = 30s;
    Customers customers(bus, settings);
    customers.StopComing();
    EXPECT_FALSE(StepUntil(
        bus, customers, [&] { return Lifted(bus) != 0; }, 1h));
    customers.Released(1);
    EXPECT_TRUE(StepUntil(bus, customers, [&] { return Lifted(bus) != 0; }));
}

// What a seed's customers do over an hour of unasked arrivals: when each lifts which nozzle.
std::string Diary(std::uint64_t seed) {
    Emulator bus(Bus());
    CustomerSettings settings = Settings(seed);
    settings.arrivalMean = 2min;
    Customers customers(bus, settings);
    std::string diary;
    std::uint8_t before = 0;
    StepUntil(
        bus, customers,
        [&] {
            const std::uint8_t now = Lifted(bus);
            if (now != before) {
                diary += std::to_string(bus.Now().count() / 100'000'000) + ":" +
                         std::to_string(now) + " ";
            }
            before = now;
            return false;
        },
        1h);
    return diary;
}

TEST(CustomersTest, SameSeedSameCustomers) {
    const std::string first = Diary(11);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(Diary(11), first);
    EXPECT_NE(Diary(12), first);
}

}  // namespace
}  // namespace fuel::emulator
