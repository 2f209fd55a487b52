// The one printer of every line: each line shows what it has, and what it cannot know (the
// wire time behind a converter, the port opens of the emulator's bus) is left out.
#include "cli/LinePrinter.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace fuel::cli {
namespace {

using namespace std::chrono_literals;

struct VerdictCase {
    const char* name;
    AttemptVerdict verdict;
    const char* words;
};

class VerdictWordsTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictWordsTest, ShowTheOutcomeAndTheCounts) {
    EXPECT_EQ(VerdictWords(GetParam().verdict), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, VerdictWordsTest,
    ::testing::Values(VerdictCase{"Accepted",
                                  {.received = true,
                                   .accepted = true,
                                   .checked = true,
                                   .receivedCount = 18,
                                   .expectedCount = 18},
                                  "accepted [18 of 18 bytes]"},
                      VerdictCase{
                          "SilenceOnAModelledLine",
                          {.code = line_code::kSilence, .expectedCount = 18, .wireTime = 80400us},
                          "no reply before the time-out [0 of 18 bytes, 80.4 ms]"},
                      VerdictCase{"Rejected",
                                  {.received = true,
                                   .checked = true,
                                   .code = reply_code::kBadChecksum,
                                   .receivedCount = 18,
                                   .expectedCount = 18},
                                  "rejected 222: wrong checksum [18 of 18 bytes]"},
                      VerdictCase{"ShortButSound",
                                  {.received = true,
                                   .checked = true,
                                   .code = line_code::kShortReply,
                                   .receivedCount = 17,
                                   .expectedCount = 18},
                                  "failed 1006: reply shorter than asked for [17 of 18 bytes]"}),
    [](const auto& info) { return std::string(info.param.name); });

struct StatsCase {
    const char* name;
    LineCounters counters;
    LineFacts facts;
    std::vector<std::string> shown;
    std::vector<std::string> left;
};

LineCounters Counted(void (*fill)(LineCounters&)) {
    LineCounters counters;
    fill(counters);
    return counters;
}

class LineStatsTest : public ::testing::TestWithParam<StatsCase> {};

TEST_P(LineStatsTest, ShowWhatTheLineHas) {
    std::ostringstream out;
    PrintLineStats(out, GetParam().counters, GetParam().facts);
    for (const std::string& line : GetParam().shown) {
        EXPECT_NE(out.str().find(line), std::string::npos) << line << " in\n" << out.str();
    }
    for (const std::string& text : GetParam().left) {
        EXPECT_EQ(out.str().find(text), std::string::npos) << text << " in\n" << out.str();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineStatsTest,
    ::testing::Values(
        StatsCase{"ConvertersTcpLine",
                  Counted([](LineCounters& c) {
                      c.networkTime = 30ms;
                      c.opens = 1;
                  }),
                  {},
                  {"  network: 30.0 ms from sends to replies", "  port: 1 opens, 0 failures\n",
                   "  bytes: 0 sent, 0 received\n"},
                  {"wire time", "serial line", "latency"}},
        StatsCase{"EmulatorsBus",
                  Counted([](LineCounters& c) {
                      c.wireTime = 47900us;
                      c.bytesDiscarded = 18;
                      c.accepted = 2;
                      c.latency = {.total = 100ms, .min = 40ms, .max = 60ms};
                  }),
                  {.baudRate = 4800},
                  {"  wire time: 47.9 ms at 4800 baud\n", ", 18 discarded\n",
                   "  latency per accepted exchange: min 40.0 ms, mean 50.0 ms, max 60.0 ms"},
                  {"port:", "network", "serial line"}},
        StatsCase{"SerialPortThatFailed",
                  Counted([](LineCounters& c) {
                      c.serialTime = 60ms;
                      c.wireTime = 47900us;
                      c.opens = 2;
                      c.portFailures = 1;
                  }),
                  {.lastProblem = "/dev/ttyUSB0: cannot open"},
                  {"  serial line: 60.0 ms from sends to replies (measured), of which 47.9 ms "
                   "the bytes' own wire time\n",
                   "  port: 2 opens, 1 failures (last: /dev/ttyUSB0: cannot open)\n"},
                  {"  wire time:", "network", "discarded"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fuel::cli
