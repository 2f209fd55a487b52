// fuelctl forecourt: a station's forecourt run from the command line, its changes printed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>

#include "CliTestSupport.h"

namespace fuel::test {
namespace {

constexpr char kBus[] = R"(
auto-lift = no
[dispenser 1]
nozzles = 2
flow = 25
price = 45.67 48.17
[dispenser 3]
nozzles = 1
flow = 25
price = 45.67
)";

std::string Station(const std::string& database) {
    return "[forecourt]\ndatabase = " + database +
           "\n[line bus]\nport = emulator:bus.conf\ncustomers = yes\ncustomer-every = 0.5\n"
           "[grade 95]\nname = Super 95\nprice = 45.67\n[grade 92]\nname = Regular 92\n"
           "price = 48.17\n[fuel-point 1]\nline = bus\naddress = 1\nnozzles = 95 92\n"
           "[fuel-point 2]\nline = bus\naddress = 3\nnozzles = 95\n";
}

TEST(ForecourtCommandTest, AttendantServesCustomersAndEveryEventIsOneJsonLine) {
    TemporaryDirectory dir;
    WriteBytes(dir.Path() / "bus.conf", kBus);
    WriteBytes(dir.Path() / "station.ini", Station("journal.db"));
    const Outcome run = RunInProcess({"forecourt", (dir.Path() / "station.ini").string(),
                                      "--attend", "--duration", "8", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    int sales = 0;
    int documents = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line);  // throws on a line that is no JSON
        ++documents;
        ASSERT_TRUE(event.contains("type") && event.contains("data") && event.contains("id"));
        if (event["type"] == "sale" && event["data"]["state"] == "CLEARED") {
            EXPECT_EQ(event["data"]["clearedBy"], "fuelctl");
            EXPECT_GT(event["data"]["volume"].get<double>(), 0);
            ++sales;
        }
    }
    EXPECT_GT(documents, 0);
    EXPECT_GT(sales, 0) << run.out;
    EXPECT_TRUE(std::filesystem::exists(dir.Path() / "journal.db"));
}

TEST(ForecourtCommandTest, BadConfigurationStartsNothing) {
    TemporaryDirectory dir;
    WriteBytes(dir.Path() / "station.ini",
               "[forecourt]\ndatabase = journal.db\n[fuel-point 1]\nline = bus\n");
    const Outcome run = RunInProcess({"forecourt", (dir.Path() / "station.ini").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "station.ini:3: [fuel-point 1]: address is missing")) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "journal.db"));
}

TEST(ForecourtCommandTest, TakesNoLineOptions) {
    const Outcome run = RunInProcess({"forecourt", "--port", "/dev/ttyS0"});
    EXPECT_EQ(run.status, 2);
}

}  // namespace
}  // namespace fuel::test
