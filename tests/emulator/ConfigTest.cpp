// The bus configuration: the text format, the refusals, and the nozzle addressing.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "emulator/BuiltInBus.h"
#include "emulator/Emulator.h"
#include "testing/TestFiles.h"

namespace fuel::emulator {
namespace {

TEST(NozzleAddress, BothAddressingSchemes) {
    struct Row {
        std::uint8_t dispenser;
        std::array<int, 6> sequential;
        std::array<int, 6> interleaved;
    };
    const std::array<Row, 4> rows = {{
        {1, {1, 2, 3, 4, 5, 6}, {1, 4, 5, 8, 5, 6}},
        {2, {2, 3, 4, 5, 6, 7}, {2, 3, 6, 7, 5, 6}},
        {3, {3, 4, 5, 6, 7, 8}, {3, 6, 7, 10, 7, 8}},
        {32, {32, 33, 34, 35, 36, 37}, {32, 33, 36, 37, 35, 36}},
    }};
    for (const Row& row : rows) {
        for (std::uint8_t n = 1; n <= 6; ++n) {
            EXPECT_EQ(NozzleAddress(false, row.dispenser, n), row.sequential[n - 1u])
                << "dispenser " << int{row.dispenser} << " nozzle " << int{n};
            EXPECT_EQ(NozzleAddress(true, row.dispenser, n), row.interleaved[n - 1u])
                << "dispenser " << int{row.dispenser} << " nozzle " << int{n} << ", interleaved";
        }
    }
}

TEST(ParseConfig, ReadsEverySetting) {
    const Config c = ParseConfig(R"(
# a comment
addressing = interleaved
turnaround-ms = 7
late-ms = 250
split-gap-ms = 40
auto-lift = no
[dispenser 2]     # trailing comment
nozzles = 4
mode = 0x41
decimals = 3 1
layout = marked
flow = 1.25
price = 45.67 52.3
total = 10 20 30
cell 200 = 0x7F
rom 0x80 = 0x12
rom 3 = 255
[dispenser 1]
nozzles = 4
mode = 0
)");
    EXPECT_TRUE(c.interleavedAddressing);
    EXPECT_EQ(c.turnaround, 7ms);
    EXPECT_EQ(c.lateDelay, 250ms);
    EXPECT_EQ(c.splitGap, 40ms);
    EXPECT_FALSE(c.autoLift);
    ASSERT_EQ(c.dispensers.size(), 2u);
    const DispenserConfig& d = c.dispensers[0];
    EXPECT_EQ(d.number, 2);
    EXPECT_EQ(d.nozzles, 4);
    EXPECT_EQ(d.mode, 0x41);
    EXPECT_EQ(d.volumeDecimals, 3);
    EXPECT_EQ(d.moneyDecimals, 1);
    EXPECT_EQ(d.layout, ReplyLayout::Marked);
    EXPECT_DOUBLE_EQ(d.flowRate, 1.25);
    EXPECT_DOUBLE_EQ(d.prices[1], 52.3);
    EXPECT_DOUBLE_EQ(d.totals[2], 30);
    EXPECT_DOUBLE_EQ(d.totals[3], 0);
    ASSERT_EQ(d.cells.size(), 1u);
    EXPECT_EQ(d.cells[0], (std::pair<std::uint8_t, std::uint8_t>{200, 0x7F}));
    EXPECT_EQ(d.romCells,
              (std::vector<std::pair<std::uint8_t, std::uint8_t>>{{0x80, 0x12}, {3, 255}}));
    EXPECT_EQ(c.dispensers[1].mode, '0');

    const Emulator bus{c};
    EXPECT_EQ(bus.RamCell(2, 148), 255);
    EXPECT_EQ(bus.RamCell(2, 150), 0x41);
    EXPECT_EQ(bus.RamCell(2, 129), 0x31);
    EXPECT_EQ(bus.RamCell(2, 200), 0x7F);
    EXPECT_EQ(bus.RamCell(1, 148), '0');
}

TEST(ParseConfig, RefusesWithTheLineAndTheReason) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"[dispenser 1]\nnozzles = 7\n", "line 2: nozzles 7 is outside 1..6"},
        {"[dispenser 33]\n", "line 1: dispenser number 33 is outside 1..32"},
        {"[pump 1]\n", "line 1: expected [dispenser N]"},
        {"[dispenser 1\n", "line 1: a section header ends with ']'"},
        {"nozzles = 2\n", "line 1: unknown bus setting 'nozzles' (before any [dispenser N])"},
        {"[dispenser 1]\ncolour = red\n", "line 2: unknown dispenser setting 'colour'"},
        {"[dispenser 1]\nflow = fast\n", "line 2: flow: 'fast' is not a non-negative number"},
        {"[dispenser 1]\nlayout = fancy\n", "line 2: layout is plain or marked"},
        {"[dispenser 1]\ndecimals = 3\n", "line 2: decimals takes two values: volume money"},
        {"addressing = diagonal\n", "line 1: addressing is sequential or interleaved"},
        {"[dispenser 1]\nmode\n", "line 2: expected key = value"},
        {"", "the bus has no dispenser"},
        {"[dispenser 1]\n[dispenser 1]\n", "dispenser 1 is configured twice"},
        {"[dispenser 1]\nflow = 0\n",
         "dispenser 1: the flow rate must be above 0 litres per second"},
    };
    for (const Case& c : cases) {
        try {
            ParseConfig(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ConfigError& e) {
            EXPECT_STREQ(e.what(), c.message) << c.text;
        }
    }
}

TEST(ParseConfig, RefusesOverlappingNozzleCodes) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"[dispenser 1]\nnozzles = 2\n[dispenser 2]\n",
         "nozzle code 2 is used by dispenser 1 nozzle 2 and dispenser 2 nozzle 1"},
        {"addressing = interleaved\n[dispenser 1]\nnozzles = 4\n[dispenser 4]\nnozzles = 2\n",
         "nozzle code 4 is used by dispenser 1 nozzle 2 and dispenser 4 nozzle 1"},
        // Interleaved, an even dispenser's sixth nozzle falls on its own third.
        {"addressing = interleaved\n[dispenser 2]\nnozzles = 6\n",
         "nozzle code 6 is used by dispenser 2 nozzle 3 and dispenser 2 nozzle 6"},
    };
    for (const Case& c : cases) {
        try {
            ParseConfig(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ConfigError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    // The pairs the interleaving is made for share a block of codes without a clash.
    EXPECT_NO_THROW(ParseConfig(
        "addressing = interleaved\n[dispenser 1]\nnozzles = 4\n[dispenser 2]\nnozzles = 4\n"));
    // Code and refusal apply to configurations built in code as well.
    Config c;
    c.dispensers = {DispenserConfig{}, DispenserConfig{}};
    EXPECT_THROW(Emulator{c}, ConfigError);
}

TEST(LoadConfig, NamesTheFile) {
    try {
        LoadConfig("/nonexistent/bus.conf");
        ADD_FAILURE();
    } catch (const ConfigError& e) {
        EXPECT_STREQ(e.what(), "cannot read the bus configuration /nonexistent/bus.conf");
    }
}

// What fuel-emulator serves without a configuration and fuelctl's embedded emulator runs:
// the example file itself, byte for byte, not a copy that could drift from it.
TEST(BuiltInConfig, IsTheExampleStation) {
    ASSERT_EQ(BuiltInBusFiles().size(), 1u);
    EXPECT_EQ(BuiltInBusFiles().front().first, "station.conf");
    EXPECT_EQ(BuiltInBusFiles().front().second,
              test::ReadBytes(std::filesystem::path(FUEL_EXAMPLES_DIR) / "bus" / "station.conf"));
    const Config c = BuiltInConfig();
    std::vector<int> numbers;
    for (const DispenserConfig& d : c.dispensers) {
        numbers.push_back(d.number);
    }
    EXPECT_EQ(numbers, (std::vector<int>{1, 3, 5, 7}));
}

}  // namespace
}  // namespace fuel::emulator
