// The program's commands run in-process against the built-in emulated bus: dispensers 1
// (mode '1', plain replies), 3 (mode '1', marked replies), 5 (mode 0x42) and 7 (mode '0'),
// two nozzles each; nozzle 1 of dispenser 1 holds the totaliser 12001.00 at start.
#include "cli/Program.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "tests/cli/CliTestSupport.h"

namespace fuel::cli {
namespace {

using test::Contains;
using test::Outcome;
using test::RunInProcess;

struct UsageCase {
    std::vector<std::string> words;
    const char* message;
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    for (const auto& w : c.words)
        *os << w << " ";
}

class UsageErrorTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrorTest, ExitsWithTwoAndSaysWhy) {
    const Outcome run = RunInProcess(GetParam().words);
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_TRUE(Contains(run.err, GetParam().message)) << run.err;
    EXPECT_EQ(run.out, "");  // nothing reached the bus, nothing was reported as done
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UsageErrorTest,
    ::testing::Values(
        UsageCase{{"bogus"}, "no command 'bogus'"}, UsageCase{{"status"}, "missing operands"},
        UsageCase{{"status", "1", "2"}, "too many operands"},
        UsageCase{{"status", "0"}, "dispenser must be a whole number from 1 to 32, not '0'"},
        UsageCase{{"status", "33"}, "dispenser must be"},
        UsageCase{{"status", "1", "--nozzles", "7"}, "--nozzles must be"},
        UsageCase{{"start", "1", "7"}, "nozzle must be"},
        UsageCase{{"dose", "1", "1"}, "either in --litres or in --money"},
        UsageCase{{"dose", "1", "1", "--litres", "5", "--money", "9"}, "either in --litres"},
        // Five digits of hundredths, or of thousandths on dispenser 5 (mode 0x42, three
        // volume decimals): the top digit would be cut off.
        UsageCase{{"dose", "1", "1", "--litres", "1000"}, "at most 999.99 on this dispenser"},
        UsageCase{{"dose", "5", "1", "--litres", "100"}, "at most 99.999 on this dispenser"},
        UsageCase{{"dose", "1", "1", "--money", "10000", "--flags", "0x10"},
                  "at most 9999.99 on this dispenser"},
        // Sent as litres: 1000 / 0.5 = 2000 l.
        UsageCase{{"dose", "1", "1", "--money", "1000", "--price", "0.5"}, "at most 999.99"},
        // A money dose sent as litres divides by the price, which a fresh run does not know.
        UsageCase{{"dose", "1", "1", "--money", "100"}, "needs the nozzle's price"},
        // Four digits of hundredths: 123.45 would reach the controller as 23.45.
        UsageCase{{"price", "1", "1", "123.45"}, "price must be a number from 0 to 99.99"},
        UsageCase{{"price", "1", "1", "nan"}, "price must be"},
        UsageCase{{"cell", "peek", "1", "2"}, "'cell peek': the subcommands are read and write"},
        UsageCase{{"cell"}, "'cell' needs a subcommand: read and write"},
        UsageCase{{"cell", "write", "1", "2"},
                  "missing operands: fuelctl cell write ADDRESS CELL VALUE"},
        UsageCase{{"cell", "read", "1", "512"}, "cell must be"},
        UsageCase{{"cell", "read", "1", "256", "--rom"}, "cell must be"},
        UsageCase{{"cell", "write", "1", "2", "256"}, "value must be"},
        // Every typed value is read once, before anything goes out, and named when wrong.
        UsageCase{{"status", "1", "--channel", "33"}, "--channel must be"},
        UsageCase{{"status", "1", "--retries", "11"}, "--retries must be a whole number from 0"},
        UsageCase{{"status", "1", "--flags", "256"}, "--flags must be"},
        UsageCase{{"status", "1", "--trace-max-kb", "15"}, "--trace-max-kb must be"},
        UsageCase{{"status", "1", "--port", ""}, "--port needs a device"},
        UsageCase{{"data", "1", "--nozzle", "0"}, "--nozzle must be"},
        UsageCase{{"dose", "1", "1", "--litres", "x"}, "--litres must be a number"},
        UsageCase{{"dose", "1", "1", "--litres", "1", "--price", "100"}, "--price must be"},
        UsageCase{{"monitor", "--interval", "0.01"}, "--interval must be at least 0.05"},
        UsageCase{{"monitor", "--refreshes", "0"}, "--refreshes must be"},
        UsageCase{{"param", "read", "0", "0", "--address", "256"}, "--address must be"},
        UsageCase{{"catalogue", "edit", "0", "0", "--dec", "9"}, "--dec must be"},
        UsageCase{{"catalogue", "edit", "0", "0", "--scale", "octal"}, "--scale is bcd or binary"},
        UsageCase{{"catalogue", "edit", "0", "0", "--cells", "1,2,3,4,5"}, "at most four"},
        UsageCase{{"catalogue", "edit", "0", "--active-nozzle", "100"}, "not a hexadecimal byte"},
        UsageCase{{"status", "1", "--fault", "noise"}, "no fault 'noise'"},
        UsageCase{{"status", "1", "--fault-rate", "checksum"}, "wants KIND=PROBABILITY"},
        UsageCase{{"status", "1", "--fault-rate", "checksum=1.5"}, "probability must be"},
        UsageCase{{"status", "1", "--frobnicate"}, "unknown option '--frobnicate'"},
        UsageCase{{"status", "1", "--config", "/nonexistent/bus.conf"},
                  "cannot read the bus configuration"},
        // Options the command does not take, named with the command.
        UsageCase{{"demo", "--flags", "0"}, "--flags does not apply to 'demo'"},
        UsageCase{
            {"adjust", "1", "10", "10.5", "--port", "/dev/nonexistent", "--fault", "checksum"},
            "--port does not apply to 'adjust'"},
        UsageCase{{"catalogue", "--retries", "3"}, "--retries does not apply to 'catalogue'"},
        UsageCase{{"trace", "x.trace", "--stats"}, "--stats does not apply to 'trace'"},
        UsageCase{{"info", "--fault", "checksum"}, "--fault does not apply to 'info'"},
        UsageCase{{"cell", "read", "1", "2", "--yes"}, "--yes does not apply to 'cell read'"},
        UsageCase{{"param", "read", "0", "0", "--dose", "1"},
                  "--dose does not apply to 'param read'"},
        UsageCase{{"catalogue", "add-controller", "X", "--cells", "20"},
                  "--cells does not apply to 'catalogue add-controller'"},
        // 'catalogue edit' runs the controller's editor or the parameter's, by its operands.
        UsageCase{{"catalogue", "edit", "0", "--cells", "2C"}, "--cells is a field of a parameter"},
        UsageCase{{"catalogue", "edit", "0", "0", "--active-nozzle", "30"},
                  "--active-nozzle is a field of a controller"}));

TEST(ProgramTest, NoCommandIsAUsageError) {
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunProgram({}, in, out, err), kExitUsage);
    EXPECT_TRUE(Contains(err.str(), "Usage: fuelctl COMMAND"));
}

TEST(ProgramTest, TraceShowsEveryFrameAndReplyWithTheVerdict) {
    const Outcome run = RunInProcess({"status", "1", "--trace"});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    // The mode cell 148 of controller 1, then nozzles 1 and 2 of dispenser 1.
    EXPECT_TRUE(Contains(run.out, "  -> 48 01 58 39 34 53 45\n"));
    EXPECT_TRUE(Contains(run.out, "  <- 41 48 01 58 30 33 31 30 30 DA 45   accepted"));
    EXPECT_TRUE(Contains(run.out, "  -> 48 01 44 D2 45\n"));
    EXPECT_TRUE(Contains(run.out, "  -> 48 02 44 D3 45\n"));
    EXPECT_TRUE(Contains(run.out, "dispenser 1 on channel 1: idle"));
}

TEST(ProgramTest, AModeZeroDispenserIsPolledWithACountOfOne) {
    const Outcome run = RunInProcess({"status", "7", "--trace"});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_TRUE(Contains(run.out, "  -> 48 07 44 D8 45\n"));
    EXPECT_FALSE(Contains(run.out, "  -> 48 08 44 D9 45\n"));
    EXPECT_TRUE(Contains(run.out, "nozzle 1  no activity"));
}

TEST(ProgramTest, StatsCountTheExchanges) {
    const Outcome run = RunInProcess({"status", "1", "--stats", "--fault", "checksum@2"});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_TRUE(Contains(run.out, "link: 3 exchanges, 4 frames sent (1 retries)")) << run.out;
    EXPECT_TRUE(Contains(run.out, "(223: 0, 219: 0, 209: 0, 222: 1, other: 0)")) << run.out;
}

struct FaultCase {
    const char* fault;
    const char* message;  // what the user is told once the retries are gone
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.fault;
}

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

// Request 2 is the poll of nozzle 1 of dispenser 3 (marked replies), after its mode read.
TEST_P(FaultTest, WithoutRetriesTheRunFailsWithTheDriversMessage) {
    const Outcome run = RunInProcess(
        {"status", "3", "--fault", std::string(GetParam().fault) + "@2", "--retries", "0"});
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_TRUE(Contains(run.err, GetParam().message)) << run.err;
    EXPECT_EQ(run.out, "");  // no status was reported from a failed poll
}

TEST_P(FaultTest, ARetryRecoversUnlessTheFrameWasSound) {
    const Outcome run =
        RunInProcess({"status", "3", "--fault", std::string(GetParam().fault) + "@2"});
    if (std::string(GetParam().fault) == "non-digit") {
        // The frame passes the reply check, so the link has nothing to retry: the driver
        // marks the link bad and the poll must not be reported as a status.
        EXPECT_EQ(run.status, kExitFailure);
    } else {
        EXPECT_EQ(run.status, kExitSuccess) << run.err;
        EXPECT_TRUE(Contains(run.out, "dispenser 3 on channel 1: idle"));
    }
}

constexpr const char* kPollFailed =
    "Невозможно выполнить опрос состояния пистолета (Варно) (ESerialIO)";

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(FaultCase{"first-byte", kPollFailed}, FaultCase{"only-ack", kPollFailed},
                      FaultCase{"no-end", kPollFailed}, FaultCase{"checksum", kPollFailed},
                      FaultCase{"silence", kPollFailed}, FaultCase{"late", kPollFailed},
                      FaultCase{"split", kPollFailed}, FaultCase{"short", kPollFailed},
                      FaultCase{"non-digit", "garbled or implausible (link state 3)"}));

TEST(ProgramTest, AnAbsentDispenserFailsWithTheDriversMessage) {
    const Outcome run = RunInProcess({"start", "2", "1"});
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_TRUE(Contains(run.err, "Невозможно считать параметр (ESerialIO)")) << run.err;
    EXPECT_TRUE(Contains(run.err, "the bus configuration has no dispenser 2")) << run.err;
}

TEST(ProgramTest, AShellRunsAWholeFillOnOneBus) {
    const Outcome run = RunInProcess({"shell"},
                                     "price 1 1 45.67\n"
                                     "dose 1 1 --litres 3   # 3.75 s at 0.8 l/s\n"
                                     "start 1 1\n"
                                     "wait 1\n"
                                     "status 1\n"
                                     "wait 5\n"
                                     "final 1\n"
                                     "totaliser 1 1\n");
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_TRUE(Contains(run.out, "dispenser 1 on channel 1: running on nozzle 1"));
    EXPECT_TRUE(Contains(run.out, "dispenser 1 nozzle 1: 3.00 l, amount 137.01")) << run.out;
    EXPECT_TRUE(Contains(run.out, "volume total 12004.00 l")) << run.out;
}

TEST(ProgramTest, AShellReportsTheWorstStatusAndGoesOn) {
    const Outcome run = RunInProcess({"shell"}, "status 99\nstart 2 1\nstatus 1\n");
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_TRUE(Contains(run.err, "dispenser must be"));
    EXPECT_TRUE(Contains(run.err, "Невозможно считать параметр"));
    EXPECT_TRUE(Contains(run.out, "dispenser 1 on channel 1: idle"));
}

TEST(ProgramTest, APriceIsReadBack) {
    const Outcome run = RunInProcess({"price", "3", "2", "61.05", "--trace"});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    // Nozzle 2 of dispenser 3 has code 4: 'c' with the digits 6105.
    EXPECT_TRUE(Contains(run.out, "  -> 48 04 63 36 31 30 35 C0 45\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "price 61.05 set and read back"));
}

TEST(ProgramTest, CellsAreReadAndWritten) {
    Outcome run = RunInProcess({"cell", "read", "5", "150"});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_EQ(run.out, "address 5, RAM cell 150 (0x96): 66 (0x42)\n");
    run = RunInProcess({"cell", "write", "1", "0x81", "0x5f", "--trace"});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_TRUE(Contains(run.out, "  -> 48 01 78 38 31 35 3F E3 45\n")) << run.out;
    // A subcommand's options may stand before it too.
    run = RunInProcess({"cell", "--rom", "read", "1", "0x80"});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_EQ(run.out, "address 1, ROM cell 128 (0x80): 1 (0x01)\n");
    EXPECT_EQ(RunInProcess({"cell", "read", "1", "0x80", "--rom"}).out, run.out);
}

TEST(ProgramTest, MonitorDrawsOneTableARefreshWhenNotOnATerminal) {
    const Outcome run = RunInProcess({"monitor", "--refreshes", "2", "--interval", "0.05"});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_TRUE(Contains(run.out, "refresh 1\n"));
    EXPECT_TRUE(Contains(run.out, "refresh 2\n"));
    EXPECT_FALSE(Contains(run.out, "refresh 3"));
    EXPECT_FALSE(Contains(run.out, "\x1b"));  // no cursor movement into a file or a pipe
    for (const char* row :
         {"   1  '1'    idle", "   3  '1'    idle", "   5  0x42   idle", "   7  '0'    none"}) {
        EXPECT_TRUE(Contains(run.out, row)) << row << "\n" << run.out;
    }
}

TEST(ProgramTest, StopGoesToTheNozzleThatIsFilling) {
    // 'data --nozzle 1' leaves the driver's current nozzle at 1 while nozzle 2 runs.
    const Outcome run = RunInProcess({"shell", "--trace"},
                                     "start 3 2\nwait 1\ndata 3 --nozzle 1\nstop 3\nstatus 3\n");
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_TRUE(Contains(run.out, "  -> 48 04 73 04 45\n")) << run.out;  // 's' to code 4
    EXPECT_FALSE(Contains(run.out, "  -> 48 03 73 03 45\n"));
    EXPECT_TRUE(Contains(run.out, "dispenser 3 on channel 1: fill stopped or ended on nozzle 2"));
}

TEST(ProgramTest, AFaultOnEveryReplyWearsOutTheRetries) {
    const Outcome run = RunInProcess({"status", "1", "--fault-rate", "checksum=1", "--stats"});
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_TRUE(Contains(run.err, "Невозможно считать параметр (ESerialIO)")) << run.err;
    // One exchange, three frames (two retries), each rejected for its checksum.
    EXPECT_TRUE(Contains(run.out, "link: 1 exchanges, 3 frames sent (2 retries)")) << run.out;
    EXPECT_TRUE(Contains(run.out, "222: 3")) << run.out;
}

TEST(ProgramTest, ADoseThatFitsIsSentInTheDispensersUnits) {
    // Dispenser 5 counts litres in thousandths: 99.999 l is the largest five-digit dose.
    const Outcome run = RunInProcess({"dose", "5", "1", "--litres", "99.999", "--trace"});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_TRUE(Contains(run.out, "  -> 48 05 64 39 39 39 39 39 13 45\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dose 99.999 l set"));
}

// Mode '0': nothing is sent for the price, the dose or the start; the controller fills to the
// dose keyed in at the pump, and the driver derives the status from the volume: 209 at the
// dose, then 208 and 192 on the next polls once the volume stands still.
TEST(ProgramTest, AShellRunsAModeZeroFill) {
    const Outcome run = RunInProcess({"shell"},
                                     "price 7 1 44.90\n"
                                     "dose 7 1 --litres 2\n"
                                     "start 7 1\n"
                                     "lift 7 1 2\n"
                                     "wait 1\n"
                                     "status 7\n"
                                     "wait 3\n"
                                     "status 7\n"
                                     "status 7\n"
                                     "status 7\n"
                                     "hangup 7 1\n"
                                     "final 7\n"
                                     "totaliser 7 1\n");
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    const auto running = run.out.find("7 on channel 1: running on nozzle 1");
    const auto ended = run.out.find("7 on channel 1: fill stopped or ended on nozzle 1\n");
    const auto bare = run.out.find("7 on channel 1: fill stopped or ended\n");
    const auto done = run.out.find("7 on channel 1: no activity");
    ASSERT_NE(running, std::string::npos) << run.out;
    ASSERT_NE(ended, std::string::npos) << run.out;
    ASSERT_NE(bare, std::string::npos) << run.out;
    ASSERT_NE(done, std::string::npos) << run.out;
    EXPECT_LT(running, ended);
    EXPECT_LT(ended, bare);
    EXPECT_LT(bare, done);
    EXPECT_TRUE(Contains(run.out, "dispenser 7 nozzle 1: 2.00 l, amount 89.80")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dose limits kept")) << run.out;
    EXPECT_TRUE(Contains(run.out, "volume total 12009.00 l")) << run.out;  // 12007.00 + 2.00
}

TEST(ProgramTest, AShellRefusesPerLineOptionsThatHoldForTheWholeBus) {
    const Outcome run = RunInProcess({"shell"}, "status 1 --trace\nstatus \"1\nstatus 1 --json\n");
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_TRUE(Contains(run.err, "--trace holds for the whole shell")) << run.err;
    EXPECT_TRUE(Contains(run.err, "--json is for a single command")) << run.err;
    EXPECT_TRUE(Contains(run.err, "line 2: unclosed quote")) << run.err;
}

}  // namespace
}  // namespace fuel::cli
