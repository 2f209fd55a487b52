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

// The demo as the README runs it, on real time: it checks its own figures as it goes, and
// these are the ones a person sees. Dispenser 1 nozzle 1 at 45.67 with 8 litres; dispenser 3
// nozzle 2 at 61.05 with 250.00 in money, which is 4.095 litres.
TEST(FuelctlTest, DemoRunsAWholeFillOnTwoDispensers) {
    const Outcome run = RunFuelctl({"demo"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(Contains(run.out, "dispenser 1 nozzle 1: 45.67, read back 45.67"));
    EXPECT_TRUE(Contains(run.out, "dispenser 3 nozzle 2: 61.05, read back 61.05"));
    EXPECT_TRUE(Contains(run.out, "both doses reached"));
    EXPECT_TRUE(Contains(run.out, "dispenser 1 nozzle 1: 8.00 l, amount 365.36")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dispenser 3 nozzle 2: 4.09 l, amount 250.00")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dispenser 1 nozzle 1: 1528.00 l (+8.00)")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dispenser 3 nozzle 2: 3314.09 l (+4.09)")) << run.out;
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
