// The driver end to end: driver, in-process link and emulator on a virtual clock, a whole
// fill in every controller mode, as a host would run it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/TVM30.h"
#include "emulator/Emulator.h"
#include "link/EmulatorLink.h"

namespace fuel {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kChannel = 1;
constexpr std::uint8_t kDispenser = 3;
constexpr std::uint8_t kNozzle = 1;
// Flags 0x10: money doses go out as money, not turned into litres.
constexpr std::uint32_t kMoneyDoses = 0x10;

struct ModeCase {
    const char* name;
    const char* settings;  // of dispenser 3
    std::uint8_t mode;     // as the driver must read it
    std::uint8_t volumeDecimals;
    std::uint8_t moneyDecimals;
    int cellsPerRefresh;  // cell reads of one mode refresh
};

const ModeCase kModes[] = {
    {"PlainMode1", "mode = 1\nlayout = plain\n", '1', 2, 2, 1},
    {"MarkedMode1", "mode = 1\nlayout = marked\n", '1', 2, 2, 1},
    {"PlainDecimals42", "mode = 0x42\ndecimals = 3 2\nlayout = plain\n", 0x42, 3, 2, 3},
    {"MarkedDecimals45", "mode = 0x45\ndecimals = 3 1\nlayout = marked\n", 0x45, 3, 1, 3},
    {"ModeZero", "mode = 0\n", '0', 2, 2, 1},
};

std::string BusText(const ModeCase& m) {
    return std::string(
               "[dispenser 1]\nnozzles = 2\n[dispenser 3]\nnozzles = 2\nflow = 0.5\n"
               "price = 45.67 50.00\ntotal = 1520.00 874.25\n") +
           m.settings;
}

class EndToEnd : public ::testing::TestWithParam<ModeCase> {
  protected:
    emulator::Emulator bus{emulator::ParseConfig(BusText(GetParam()))};
    EmulatorLink link{bus, kChannel, Options()};
    TVM30 driver{kMoneyDoses, &link, ""};

    static EmulatorLinkOptions Options() {
        EmulatorLinkOptions o;
        o.retry.attempts = 1;
        return o;
    }
    bool ModeZero() const { return GetParam().mode == '0'; }
    std::uint8_t Poll(std::uint8_t count) {
        StatusRecordEx record;
        driver.PollDispenserStatusEx(kChannel, kDispenser, count, record);
        return record.bytes[0];
    }
    double Total() {
        double volume = -1, money = -1;
        driver.GetTotalizer(kChannel, kDispenser, kNozzle, volume, money, 0, 0);
        EXPECT_EQ(money, 0);
        return volume;
    }
    // Polls once a second until the fill is over; returns the summary codes seen, each once.
    std::vector<std::uint8_t> PollToTheEnd() {
        const std::uint8_t count = ModeZero() ? 1 : 2;  // mode '0' keeps nozzle 1's word by count
        const std::uint8_t last = ModeZero() ? 192 : 208 + kNozzle;
        std::vector<std::uint8_t> seen;
        for (int second = 0; second < 120; ++second) {
            bus.Advance(1s);
            const std::uint8_t code = Poll(count);
            EXPECT_EQ(driver.Tables().LinkState[kChannel], 1);
            if (seen.empty() || seen.back() != code)
                seen.push_back(code);
            if (code == last &&
                bus.Nozzle(kDispenser, kNozzle).phase != emulator::NozzlePhase::Running) {
                break;
            }
        }
        return seen;
    }
    // Start of a fill as the host does it, and the customer where the controller needs one.
    void Start(double presetLitres) {
        driver.StartFill(kChannel, kDispenser, kNozzle, 0);
        if (ModeZero())
            bus.LiftNozzle(kDispenser, kNozzle, presetLitres);
    }
};

TEST_P(EndToEnd, ModeIsReadFromTheControllersCells) {
    Poll(2);
    EXPECT_EQ(driver.Tables().DispenserMode[kChannel][kDispenser], GetParam().mode);
    EXPECT_EQ(driver.Tables().VolumeDecimals[kChannel][kDispenser], GetParam().volumeDecimals);
    EXPECT_EQ(driver.Tables().MoneyDecimals[kChannel][kDispenser], GetParam().moneyDecimals);
}

TEST_P(EndToEnd, LitreDoseFillFromStartToTotaliser) {
    driver.InitLink(kChannel);
    EXPECT_EQ(Poll(ModeZero() ? 1 : 2), ModeZero() ? 192 : 200);
    driver.SetPrice(kChannel, kDispenser, kNozzle, 0, 0, 45.67);
    const double before = Total();
    EXPECT_DOUBLE_EQ(before, 1520.00);

    driver.SetVolumeLimit(kChannel, kDispenser, kNozzle, 0, 10.0);
    Start(10.0);
    const std::vector<std::uint8_t> codes = PollToTheEnd();
    if (ModeZero()) {
        // The driver derives the end from the volume: reached and rising, then still.
        EXPECT_EQ(codes, (std::vector<std::uint8_t>{217, 209, 208, 192}));
    } else {
        EXPECT_EQ(codes, (std::vector<std::uint8_t>{216 + kNozzle, 208 + kNozzle}));
    }

    double volume = 0, amount = 0;
    driver.GetFinalDispensedData(kChannel, kDispenser, volume, amount);
    EXPECT_DOUBLE_EQ(volume, 10.0);
    EXPECT_NEAR(amount, 456.70, 1e-9);
    EXPECT_EQ(driver.Tables().LinkState[kChannel], 1);
    // The final data clears the limits, except where the driver keeps the status itself.
    EXPECT_EQ(driver.Tables().VolumeLimit[kChannel][kDispenser], ModeZero() ? 10.0 : 0.0);
    EXPECT_EQ(driver.Tables().MoneyLimit[kChannel][kDispenser], 0.0);
    EXPECT_NEAR(Total(), before + 10.0, 1e-9);
    EXPECT_NEAR(bus.Nozzle(kDispenser, kNozzle).total, 1530.0, 1e-9);
}

// A mode-'0' controller takes no dose from the host.
class MoneyDose : public EndToEnd {};

TEST_P(MoneyDose, FillReconcilesToTheDose) {
    Poll(2);
    driver.SetPrice(kChannel, kDispenser, kNozzle, 0, 0, 45.67);
    driver.SetMoneyLimit(kChannel, kDispenser, kNozzle, 0, 100.0);
    Start(0);
    PollToTheEnd();
    // 100.00 / 45.67 = 2.1896 litres; the controller reports 2.19 (or 2.190) and the exact
    // 100.00, which the driver keeps: it is within a centilitre's price of 2.19 × 45.67.
    double volume = 0, amount = 0;
    driver.GetFinalDispensedData(kChannel, kDispenser, volume, amount);
    EXPECT_NEAR(volume, 2.19, 1e-9);
    EXPECT_NEAR(amount, 100.0, 1e-9);
    EXPECT_NEAR(Total(), 1520.0 + 2.19, 0.0006);
}

TEST_P(EndToEnd, ModeRefreshCostsTheExchangesOfTheBackOff) {
    // Six polls of two nozzles: the cells are read on polls 1, 3 and 6.
    for (int i = 0; i < 6; ++i)
        Poll(2);
    const auto cells = static_cast<std::uint64_t>(GetParam().cellsPerRefresh);
    EXPECT_EQ(link.Counters().exchanges, 6 * 2 + 3 * cells);
    EXPECT_EQ(bus.Counters().requests, link.Counters().attempts);
    EXPECT_EQ(driver.Tables().ModeStableCount[kChannel][kDispenser], 3);
}

TEST_P(EndToEnd, PriceReadBackSucceeds) {
    Poll(2);
    link.ResetCounters();
    driver.SetPrice(kChannel, kDispenser, kNozzle, 0, 0, 52.35);
    if (ModeZero()) {
        EXPECT_EQ(link.Counters().exchanges, 0u);  // kept by the driver alone
        return;
    }
    EXPECT_EQ(link.Counters().exchanges, 2u);  // the price, then its read-back
    EXPECT_DOUBLE_EQ(bus.Nozzle(kDispenser, kNozzle).price, 52.35);
    EXPECT_EQ(driver.ReadPrice(kChannel, kDispenser, kNozzle), 5235);
    // 123.45 does not fit the four digits: refused before it could reach the controller as
    // 23.45, which keeps the price it had.
    link.ResetCounters();
    EXPECT_THROW(driver.SetPrice(kChannel, kDispenser, kNozzle, 0, 0, 123.45), ESerialIO);
    EXPECT_EQ(link.Counters().exchanges, 0u);
    EXPECT_DOUBLE_EQ(bus.Nozzle(kDispenser, kNozzle).price, 52.35);
}

const auto kModeName = [](const auto& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(EveryMode, EndToEnd, ::testing::ValuesIn(kModes), kModeName);
INSTANTIATE_TEST_SUITE_P(ModesTakingDoses, MoneyDose,
                         ::testing::ValuesIn(std::begin(kModes), std::end(kModes) - 1), kModeName);

TEST(EndToEndStop, StopCommandFreezesTheFillAndTheDriverSeesItStopped) {
    emulator::Emulator bus{emulator::ParseConfig("[dispenser 1]\nnozzles = 2\nprice = 40\n")};
    EmulatorLink link{bus};
    TVM30 driver{0, &link, ""};
    StatusRecordEx record;
    driver.PollDispenserStatusEx(1, 1, 2, record);
    driver.SetPrice(1, 1, 2, 0, 0, 40.0);
    driver.StartFill(1, 1, 2, 0);
    bus.Advance(3s);
    driver.StopFill(1, 1, 0, 1);
    bus.Advance(10s);
    driver.PollDispenserStatusEx(1, 1, 2, record);
    EXPECT_EQ(record.bytes[0], 208 + 2);
    EXPECT_EQ(record.bytes[14], 2);
    double volume = 0, amount = 0;
    driver.GetFinalDispensedData(1, 1, volume, amount);
    EXPECT_NEAR(volume, 1.5, 0.011);  // 3 s at 0.5 l/s, plus the line's own time
    // The controller's amount of the unrounded volume stands: within a centilitre's price.
    EXPECT_DOUBLE_EQ(amount, bus.Nozzle(1, 2).amount);
    EXPECT_NEAR(amount, volume * 40.0, 0.4);
}

// Both ends apply the same addressing, in both of its states: each price reaches the nozzle
// it was meant for, and a fill shows on its own nozzle only.
class Addressing : public ::testing::TestWithParam<bool> {};

TEST_P(Addressing, EveryNozzleIsReachedAtItsOwnCode) {
    const bool interleaved = GetParam();
    // Sequential addressing needs dispensers four apart for four nozzles each.
    const std::uint8_t second = interleaved ? 2 : 5;
    emulator::Emulator bus{emulator::ParseConfig(
        std::string("addressing = ") + (interleaved ? "interleaved" : "sequential") +
        "\n[dispenser 1]\nnozzles = 4\n[dispenser " + std::to_string(second) + "]\nnozzles = 4\n")};
    EmulatorLink link{bus};
    TVM30 driver{0, &link, ""};
    driver.OrigAdres = interleaved;

    for (const std::uint8_t d : {std::uint8_t{1}, second}) {
        for (std::uint8_t n = 1; n <= 4; ++n) {
            driver.SetPrice(1, d, n, 0, 0, 10.0 * d + n);
        }
    }
    for (const std::uint8_t d : {std::uint8_t{1}, second}) {
        for (std::uint8_t n = 1; n <= 4; ++n) {
            EXPECT_DOUBLE_EQ(bus.Nozzle(d, n).price, 10.0 * d + n) << int{d} << "/" << int{n};
        }
    }
    driver.StartFill(1, second, 3, 0);
    bus.Advance(2s);
    StatusRecord record;
    driver.PollDispenserStatus(1, second, 4, record);
    EXPECT_EQ(record.Summary(), 216 + 3);
    EXPECT_EQ(record.SummaryNozzle(), 3);
    driver.PollDispenserStatus(1, 1, 4, record);
    EXPECT_EQ(record.Summary(), 200);
}

INSTANTIATE_TEST_SUITE_P(BothStates, Addressing, ::testing::Bool(), [](const auto& info) {
    return info.param ? "Interleaved" : "Sequential";
});

}  // namespace
}  // namespace fuel
