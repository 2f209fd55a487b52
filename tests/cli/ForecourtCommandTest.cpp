// fuelctl forecourt: a station's forecourt run from the command line, its changes printed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
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
    const Outcome run =
        RunInProcess({"forecourt", "--config", (dir.Path() / "station.ini").string(), "--attend",
                      "--duration", "8", "--json"});
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

// The station's file as fuel-forecourtd takes it, or alone as the command first took it;
// a bad file shows that it was read, and that nothing started.
struct StationFileCase {
    const char* what;
    std::vector<std::string> words;  // after "forecourt"; FILE: the station's file
    int status;
    const char* says;
};

class ForecourtStationFileTest : public testing::TestWithParam<StationFileCase> {};

TEST_P(ForecourtStationFileTest, ReadsTheOneFileNamed) {
    const StationFileCase& c = GetParam();
    TemporaryDirectory dir;
    const std::string file = (dir.Path() / "station.ini").string();
    WriteBytes(file, "[forecourt]\ndatabase = journal.db\n[fuel-point 1]\nline = bus\n");
    std::vector<std::string> words = {"forecourt"};
    for (const std::string& word : c.words) {
        words.push_back(word == "FILE"            ? file
                        : word == "--config=FILE" ? "--config=" + file
                                                  : word);
    }
    const Outcome run = RunInProcess(words);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "journal.db"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForecourtStationFileTest,
    testing::Values(
        StationFileCase{
            "option", {"--config", "FILE"}, 1, "station.ini:3: [fuel-point 1]: address is missing"},
        StationFileCase{"option with equals",
                        {"--config=FILE"},
                        1,
                        "station.ini:3: [fuel-point 1]: address is missing"},
        StationFileCase{"alone", {"FILE"}, 1, "station.ini:3: [fuel-point 1]: address is missing"},
        StationFileCase{"both", {"FILE", "--config", "FILE"}, 2, "given twice"},
        StationFileCase{"two alone", {"FILE", "FILE"}, 2, "too many operands"},
        StationFileCase{"option without a file", {"--config"}, 2, "--config needs a value"}),
    [](const auto& info) {
        std::string name = info.param.what;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST(ForecourtCommandTest, TakesNoLineOptions) {
    const Outcome run = RunInProcess({"forecourt", "--port", "/dev/ttyS0"});
    EXPECT_EQ(run.status, 2);
}

// With no configuration, the example station, and its journal where the program runs: the
// same one fuel-forecourtd keeps, never beside the installed (or source) example.
TEST(ForecourtCommandTest, ExampleStationKeepsItsJournalInTheWorkingDirectory) {
    TemporaryDirectory dir;
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    const Outcome run = RunInProcess({"forecourt", "--duration", "1"});
    std::filesystem::current_path(before);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(dir.Path() / "forecourt.db"));
    EXPECT_TRUE(Contains(run.out, "journal " + (dir.Path() / "forecourt.db").string())) << run.out;
}

// A station file written for the daemon, broker section and all, runs here too.
TEST(ForecourtCommandTest, BrokerSectionIsLeftToTheDaemon) {
    TemporaryDirectory dir;
    WriteBytes(dir.Path() / "bus.conf", kBus);
    WriteBytes(dir.Path() / "station.ini",
               Station("journal.db") +
                   "[mqtt]\nurl = mqtt://127.0.0.1:1\nstation = s1\nidentity.hq = backoffice\n");
    const Outcome run = RunInProcess(
        {"forecourt", "--config", (dir.Path() / "station.ini").string(), "--duration", "1"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, "[mqtt] section is fuel-forecourtd's")) << run.err;
}

}  // namespace
}  // namespace fuel::test
