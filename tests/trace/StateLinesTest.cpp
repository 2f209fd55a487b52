// What a trace records of the driver rather than of an operation: the options line and the
// state lines, written by the traced driver and read back by the replay; and a change of the
// tables between operations, which a replay must start the next operation from.
#include "driver/TraceSchema.h"

#include <gtest/gtest.h>

#include <sstream>

#include "driver/TracedDriver.h"
#include "testing/RecordingLink.h"
#include "trace/TraceReplay.h"

namespace fuel::trace {
namespace {

using test::Bytes;
using test::RecordingLink;

TraceEvent Line(const std::string& text) {
    return ParseTraceLine("2026-12-08T10:15:30.000000Z " + text);
}

std::string Text(const TraceEvent& line) {
    return FormatTraceLine(line).substr(28);
}

// A dispenser in which every entry has left its default.
DispenserState Changed() {
    DispenserState state;
    state.DispenserMode = 0x42;
    state.VolumeDecimals = 3;
    state.MoneyDecimals = 1;
    state.ModeRecheckCountdown = -4;
    state.ModeStableCount = 7;
    state.CurrentNozzle = 5;
    state.VolumeLimit = 12.5;
    state.MoneyLimit = 0.1;
    for (int nozzle = 1; nozzle <= kNozzles; ++nozzle) {
        state.NozzleStatus[nozzle] = static_cast<std::uint16_t>(0x100 * nozzle + 17);
        state.NozzlePrice[nozzle] = 40.0 + nozzle / 3.0;
        state.NozzleVolume[nozzle] = 1e6 + nozzle;
    }
    return state;
}

TEST(StateLinesTest, WhatTheTablesHoldReadsBackIntoAFreshDriver) {
    RecordingLink link;
    TVM30 written(0, &link, "");
    written.RestoreDispenser(2, 5, Changed());
    written.RestoreLinkState(3, 3);

    const std::vector<TraceEvent> lines = StateLines(0, written.Tables());
    ASSERT_EQ(lines.size(), 2u);  // the untouched channels and dispensers write nothing
    TVM30 read(0, &link, "");
    for (const TraceEvent& line : lines) {
        RestoreStateLine(read, Line(Text(line)));
    }
    EXPECT_EQ(read.Tables().Dispenser(2, 5), Changed());
    EXPECT_EQ(read.Tables().LinkState[3], 3);
    EXPECT_EQ(StateLines(0, read.Tables()).size(), 2u);
}

TEST(StateLinesTest, LinesOfFilesAlreadyWrittenStillRead) {
    RecordingLink link;
    TVM30 driver(0, &link, "");
    RestoreStateLine(driver, Line("state ch=2 disp=5 mode=66 vdec=3 mdec=2 countdown=0 stable=1 "
                                  "nozzle=1 vlimit=0 mlimit=0 status=192,0,0,0,0,0 "
                                  "price=0,51.2,0,0,0,0 volume=0,0,0,0,0,0"));
    RestoreStateLine(driver, Line("state ch=3 link=3"));
    DispenserState expected;
    expected.DispenserMode = 66;
    expected.VolumeDecimals = 3;
    expected.NozzlePrice[2] = 51.2;
    EXPECT_EQ(driver.Tables().Dispenser(2, 5), expected);
    EXPECT_EQ(driver.Tables().LinkState[3], 3);
    EXPECT_EQ(Text(DispenserStateLine(0, 2, 5, expected)),
              "state ch=2 disp=5 mode=66 vdec=3 mdec=2 countdown=0 stable=1 nozzle=1 vlimit=0 "
              "mlimit=0 status=192,0,0,0,0,0 price=0,51.2,0,0,0,0 volume=0,0,0,0,0,0");
}

TEST(StateLinesTest, ShortListsChangeOnlyTheNozzlesTheyHold) {
    RecordingLink link;
    TVM30 driver(0, &link, "");
    driver.RestoreDispenser(1, 1, Changed());
    RestoreStateLine(driver, Line("state ch=1 disp=1 mode=49 vdec=2 mdec=2 countdown=0 stable=1 "
                                  "nozzle=2 vlimit=0 mlimit=0 status=217 price=45.67,1 volume=3"));
    DispenserState expected = Changed();
    expected.DispenserMode = 49;
    expected.VolumeDecimals = 2;
    expected.MoneyDecimals = 2;
    expected.ModeRecheckCountdown = 0;
    expected.ModeStableCount = 1;
    expected.CurrentNozzle = 2;
    expected.VolumeLimit = 0;
    expected.MoneyLimit = 0;
    expected.NozzleStatus[1] = 217;
    expected.NozzlePrice[1] = 45.67;
    expected.NozzlePrice[2] = 1;
    expected.NozzleVolume[1] = 3;
    EXPECT_EQ(driver.Tables().Dispenser(1, 1), expected);
}

class BadStateLineTest : public ::testing::TestWithParam<const char*> {};

// A line that does not read changes nothing, not even the fields before the bad one.
TEST_P(BadStateLineTest, ChangesNothing) {
    RecordingLink link;
    TVM30 driver(0, &link, "");
    EXPECT_ANY_THROW(RestoreStateLine(driver, Line(GetParam())));
    EXPECT_EQ(driver.Tables().Dispenser(1, 1), DispenserState{});
    EXPECT_EQ(driver.Tables().LinkState[1], 1);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadStateLineTest,
    ::testing::Values("state ch=33 link=3", "state ch=1 link=300",
                      "state ch=1 link=3 disp=33 mode=49 vdec=2 mdec=2 countdown=0 stable=1 "
                      "nozzle=2 vlimit=0 mlimit=0 status=1 price=1 volume=1",
                      "state ch=1 link=3 disp=1 mode=49 vdec=2 mdec=2 countdown=0 stable=1 "
                      "nozzle=2 mlimit=0 status=1 price=1 volume=1",
                      "state ch=1 disp=1 mode=49 vdec=2 mdec=2 countdown=0 stable=1 nozzle=2 "
                      "vlimit=0 mlimit=0 status=1,70000 price=1 volume=1",
                      "state ch=1 disp=1 mode=49 vdec=2 mdec=2 countdown=0 stable=1 nozzle=2 "
                      "vlimit=0 mlimit=0 status=1 price=1,,2 volume=1"));

TEST(OptionsLineTest, ReadsBackAsWritten) {
    const std::string text = "options flags=64 OrigAdres=1 StartInLiter=0 WStart=1 WDoza=0";
    const TracedOptions options = ReadOptionsLine(Line(text));
    EXPECT_EQ(options.flags, 64u);
    EXPECT_EQ(options.options, (DriverOptions{true, false, true, false}));
    EXPECT_EQ(Text(OptionsLine(0, options)), text);
    EXPECT_THROW(ReadOptionsLine(Line("options flags=0 OrigAdres=2 StartInLiter=0 WStart=1 "
                                      "WDoza=0")),
                 TraceFormatError);
}

// A program that points the driver at the nozzle of a fill it found (no operation of the
// host does that) leaves a state line, so that the replay stops the same nozzle.
TEST(ReplayTest, AChosenNozzleIsReplayedAsChosen) {
    RecordingLink link;
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    auto sink = std::make_shared<MemoryTraceSink>();
    TracedDriver driver(0, &link, "", sink);
    driver.StartPump(1, 1, 2);
    driver.SelectNozzle(1, 1, 1);
    driver.StopPump(1, 1, 1);

    TraceLog log;
    for (const TraceEvent& event : sink->events) {
        log.lines.push_back({"memory", log.lines.size() + 1, event});
    }
    std::ostringstream out;
    const ReplayTally tally = Replay(log, {}, out);
    EXPECT_EQ(tally.operations, 2u);
    EXPECT_EQ(tally.different, 0u) << out.str();
}

}  // namespace
}  // namespace fuel::trace
