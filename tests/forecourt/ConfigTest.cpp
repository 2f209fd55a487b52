// The station's configuration: the example loads as it ships, and every mistake a person can
// make in the file is named with its file and line.
#include <gtest/gtest.h>

#include <string>

#include "forecourt/Config.h"
#include "forecourt/Forecourt.h"
#include "testing/TestFiles.h"

namespace fuel::forecourt {
namespace {

namespace fs = std::filesystem;

constexpr char kGood[] = R"(# a comment
[forecourt]
database = data/journal.db

[line north]
port = emulator:bus.conf
customers = yes

[grade 95]
name = Super 95
price = 45.67

[fuel-point 2]
line = north
address = 3
nozzles = 95 95
sale-buffer = 3

[fuel-point 1]
line = north
address = 1
nozzles = 95
)";

TEST(ConfigTest, ExampleStationLoads) {
    const Config config = LoadConfig(fs::path(FUEL_SOURCE_DIR) / "examples/forecourt/station.ini");
    ASSERT_EQ(config.lines.size(), 1u);
    EXPECT_TRUE(config.lines[0].IsEmulator());
    EXPECT_TRUE(config.lines[0].customers);
    EXPECT_TRUE(fs::exists(config.lines[0].emulatorBus)) << config.lines[0].emulatorBus;
    ASSERT_EQ(config.fuelPoints.size(), 4u);
    const int addresses[] = {1, 3, 5, 7};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(config.fuelPoints[i].address, addresses[i]);
        EXPECT_EQ(config.fuelPoints[i].nozzles.size(), 2u);
    }
    EXPECT_EQ(config.fuelPoints[3].release, Origin::Pump);  // the controller on its own
    EXPECT_EQ(config.fuelPoints[0].release, Origin::Api);
    for (const GradeConfig& grade : config.grades) {
        EXPECT_GT(grade.price, 0) << grade.code;
    }
    EXPECT_EQ(DefaultConfigPath(), fs::path(FUEL_SOURCE_DIR) / "examples/forecourt/station.ini");
}

TEST(ConfigTest, DefaultsAndPathsFromTheFilesDirectory) {
    const Config config = ParseConfig(kGood, "/etc/fuel/station.ini");
    EXPECT_EQ(config.database, fs::path("/etc/fuel/data/journal.db"));
    EXPECT_EQ(config.lines[0].emulatorBus, fs::path("/etc/fuel/bus.conf"));
    EXPECT_EQ(config.saleBuffer, 2);
    EXPECT_DOUBLE_EQ(config.tolerance, 0.05);
    ASSERT_EQ(config.fuelPoints.size(), 2u);
    EXPECT_EQ(config.fuelPoints[0].id, 1);  // in id order, whatever the file's
    EXPECT_EQ(config.fuelPoints[0].saleBuffer, 2);
    EXPECT_EQ(config.fuelPoints[1].saleBuffer, 3);
    EXPECT_EQ(config.retention.eventDays, 90);
    EXPECT_EQ(config.retention.saleYears, 10);
    EXPECT_EQ(config.retention.requestDays, 7);
}

TEST(ConfigTest, RetentionFromTheForecourtSection) {
    std::string text = kGood;
    const std::string database = "database = data/journal.db";
    text.replace(
        text.find(database), database.size(),
        database + "\nkeep-events-days = 30\nkeep-sales-years = 0\nkeep-requests-days = 2");
    const Config config = ParseConfig(text, "station.ini");
    EXPECT_EQ(config.retention.eventDays, 30);
    EXPECT_EQ(config.retention.saleYears, 0);  // for ever
    EXPECT_EQ(config.retention.requestDays, 2);
}

struct BadFile {
    const char* what;
    std::string replace;  // text in kGood
    std::string by;
    int line;             // 0: the file as a whole
    const char* message;  // part of the message
};

class BadConfigTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadConfigTest, NamesTheFileTheLineAndTheMistake) {
    const BadFile& bad = GetParam();
    std::string text = kGood;
    const auto at = text.find(bad.replace);
    ASSERT_NE(at, std::string::npos) << bad.replace;
    text.replace(at, bad.replace.size(), bad.by);
    try {
        ParseConfig(text, "station.ini");
        FAIL() << "accepted: " << bad.what;
    } catch (const ConfigError& error) {
        const std::string expected =
            bad.line > 0 ? "station.ini:" + std::to_string(bad.line) + ": " : "station.ini: ";
        EXPECT_EQ(std::string(error.what()).rfind(expected, 0), 0u) << error.what();
        EXPECT_NE(std::string(error.what()).find(bad.message), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, BadConfigTest,
    ::testing::Values(
        BadFile{"unknown section", "[grade 95]", "[pump 95]", 9, "unknown section [pump]"},
        BadFile{"unknown key", "sale-buffer = 3", "colour = red", 17, "no key \"colour\""},
        BadFile{"key twice", "address = 3", "address = 3\naddress = 4", 16, "given twice"},
        BadFile{"no equals sign", "address = 3", "address 3", 15, "not \"key = value\""},
        BadFile{"key before a section", "# a comment", "database = x", 1, "before any section"},
        BadFile{"address not a number", "address = 3", "address = x", 15, "whole number"},
        BadFile{"address out of range", "address = 3", "address = 33", 15, "from 1 to 32"},
        BadFile{"negative price", "price = 45.67", "price = -1", 11, "price must be"},
        BadFile{"price too long for the wire", "price = 45.67", "price = 100", 11, "99.99"},
        BadFile{"price between two steps", "price = 45.67", "price = 45.678", 11,
                "not a whole number of hundredths"},
        BadFile{"empty sale buffer", "sale-buffer = 3", "sale-buffer = 0", 17, "from 1 to 100"},
        BadFile{"release from nowhere", "sale-buffer = 3", "release = cashier", 17,
                "release must be api"},
        BadFile{"not UTF-8", "name = Super 95", "name = Super \xc4", 10, "not UTF-8 text"},
        BadFile{"unknown grade", "nozzles = 95 95", "nozzles = 95 97", 16, "no [grade 97]"},
        BadFile{"unknown line", "line = north\naddress = 3", "line = south\naddress = 3", 14,
                "no [line south]"},
        BadFile{"seven nozzles", "nozzles = 95 95", "nozzles = 95 95 95 95 95 95 95", 16,
                "1 to 6 nozzles"},
        BadFile{"no nozzles", "nozzles = 95 95", "nozzles =", 16, "nozzles is empty"},
        BadFile{"fuel point twice", "[fuel-point 1]", "[fuel-point 2]", 19, "given twice"},
        BadFile{"address twice on a line", "address = 1", "address = 3", 21,
                "already has address 3"},
        BadFile{"missing address", "address = 1\n", "", 19, "address is missing"},
        BadFile{"no database", "database = data/journal.db", "", 2, "database is missing"},
        BadFile{"no forecourt section", "[forecourt]\ndatabase = data/journal.db", "", 0,
                "no [forecourt]"},
        BadFile{"empty emulator bus", "port = emulator:bus.conf", "port = emulator:", 6,
                "needs a bus file"},
        BadFile{"customers on a serial line", "port = emulator:bus.conf", "port = /dev/ttyS0", 7,
                "only with an emulator"},
        BadFile{"unused line", "[grade 95]", "[line spare]\nport = /dev/ttyS1\n[grade 95]", 9,
                "no fuel point is on [line spare]"},
        BadFile{"header without its bracket", "[grade 95]", "[grade 95", 9, "ends with ]"},
        BadFile{"events kept a negative time", "database = data/journal.db",
                "database = data/journal.db\nkeep-events-days = -1", 4, "from 0 to 36500"},
        BadFile{"sales kept in days", "database = data/journal.db",
                "database = data/journal.db\nkeep-sales-years = 10d", 4, "whole number"}),
    [](const ::testing::TestParamInfo<BadFile>& info) {
        std::string name = info.param.what;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        }
        return name;
    });

TEST(ConfigTest, UnreadableFileIsNamed) {
    try {
        LoadConfig("/nonexistent/station.ini");
        FAIL();
    } catch (const ConfigError& error) {
        EXPECT_STREQ(error.what(), "/nonexistent/station.ini: cannot be read");
    }
}

TEST(ConfigTest, BadPortIsRefusedBeforeAnythingStarts) {
    fuel::test::TemporaryDirectory directory;
    std::string text = kGood;
    text.replace(text.find("port = emulator:bus.conf\ncustomers = yes"),
                 std::string("port = emulator:bus.conf\ncustomers = yes").size(),
                 "port = /dev/ttyS0 parity=sometimes");
    Forecourt forecourt(ParseConfig(text, directory.Path() / "station.ini"));
    try {
        forecourt.Start();
        FAIL();
    } catch (const ConfigError& error) {
        EXPECT_NE(std::string(error.what()).find("station.ini:6: [line north]: "),
                  std::string::npos)
            << error.what();
    }
    EXPECT_FALSE(fs::exists(directory.Path() / "data")) << "nothing was started";
}

}  // namespace
}  // namespace fuel::forecourt
