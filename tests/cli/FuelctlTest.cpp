// The built program, run as a person runs it: its output and its exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/CliTestSupport.h"

namespace {

using fuel::test::BuiltProgram;
using fuel::test::Contains;
using fuel::test::Outcome;

Outcome RunFuelctl(const std::vector<std::string>& words) {
    return BuiltProgram().Run(words);
}

// The demo as docs/line.md runs it, on real time: it checks its own figures as it goes, and
// these are the ones a person sees. On the built-in bus: dispenser 1 nozzle 1 at 45.67 with 3
// litres; dispenser 5 nozzle 2 (litres in thousandths) at 53.70 with 100.00 in money, which
// is 1.862 litres.
TEST(FuelctlTest, DemoRunsAWholeFillOnTwoDispensers) {
    const Outcome run = RunFuelctl({"demo"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(Contains(run.out, "dispenser 1 nozzle 1: 45.67, read back 45.67"));
    EXPECT_TRUE(Contains(run.out, "dispenser 5 nozzle 2: 53.70, read back 53.70"));
    EXPECT_TRUE(Contains(run.out, "both doses reached"));
    EXPECT_TRUE(Contains(run.out, "dispenser 1 nozzle 1: 3.00 l, amount 137.01")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dispenser 5 nozzle 2: 1.86 l, amount 100.00")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dispenser 1 nozzle 1: 12004.00 l (+3.00)")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dispenser 5 nozzle 2: 8006.86 l (+1.86)")) << run.out;
    EXPECT_TRUE(Contains(run.out, " 0 failed"));
}

// One reply to the poll of nozzle 1 comes with a wrong checksum: the trace shows it rejected
// and the link's retry accepted.
TEST(FuelctlTest, StatusTraceShowsAnInjectedFaultAndTheRetry) {
    const Outcome run = RunFuelctl({"status", "1", "--trace", "--fault", "checksum@2"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string rejected =
        "  -> 48 01 44 D2 45\n"
        "  <- 41 48 01 44 30 30 30 30 30 30 30 30 30 30 30 30 13 45   rejected 222: wrong "
        "checksum";
    const std::string retried =
        "  -> 48 01 44 D2 45   (retry 1)\n"
        "  <- 41 48 01 44 30 30 30 30 30 30 30 30 30 30 30 30 12 45   accepted";
    EXPECT_TRUE(Contains(run.out, rejected)) << run.out;
    EXPECT_TRUE(Contains(run.out, retried)) << run.out;
    EXPECT_TRUE(Contains(run.out, "dispenser 1 on channel 1: idle"));
}

TEST(FuelctlTest, StatusFailsWithTheDriversMessageWhenNoRetryIsLeft) {
    const Outcome run =
        RunFuelctl({"status", "1", "--trace", "--fault", "checksum@2", "--retries", "0"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.out, "rejected 222: wrong checksum"));
    EXPECT_EQ(run.err,
              "fuelctl status: Невозможно выполнить опрос состояния пистолета (Варно) "
              "(ESerialIO)\n");
}

TEST(FuelctlTest, UsageErrorsExitWithTwo) {
    const Outcome run = RunFuelctl({"status"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, "Try 'fuelctl status --help'."));
}

}  // namespace
