// Starting and stopping a dispenser's pump, the host's start and stop requests, and the host
// event that resets a mode-'0' nozzle.
#include <gtest/gtest.h>

#include "tests/DriverFixture.h"

namespace fuel {
namespace {

using test::Bytes;
using test::DriverTest;
using test::GivenDispenser;

constexpr char kCannotStart[] = "Can't START POMP";
constexpr char kCannotStop[] = "Can't STOP POMP";

TEST_F(DriverTest, StartPumpSendsTheStartFrameAndExpectsTheAcknowledgement) {
    link.QueueAck();
    EXPECT_EQ(driver.StartPump(1, 1, 1), 0);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].frame, (Bytes{0x48, 0x01, 0x75, 0x03, 0x45}));
    EXPECT_EQ(link.sent[0].replyLength, 1);
    EXPECT_EQ(link.sent[0].channel, 1u);
}

struct PumpCase {
    const char* name;
    bool origAdres;
    std::uint32_t channel, dispenser, nozzle;
    Bytes start;  // then the stop that follows on the same dispenser
    Bytes stop;
};

void PrintTo(const PumpCase& c, std::ostream* os) {
    *os << c.name;
}

class StartThenStopTest : public DriverTest, public ::testing::WithParamInterface<PumpCase> {};

TEST_P(StartThenStopTest, StopUsesTheNozzleOfTheLastStart) {
    const PumpCase& c = GetParam();
    driver.OrigAdres = c.origAdres;
    link.QueueAck();
    link.QueueAck();
    EXPECT_EQ(driver.StartPump(c.channel, c.dispenser, c.nozzle), 0);
    EXPECT_EQ(driver.Tables().CurrentNozzle[c.channel][c.dispenser], c.nozzle);
    EXPECT_EQ(driver.StopPump(c.channel, c.dispenser, 1), 0);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{c.start, c.stop}));
    EXPECT_EQ(link.sent[1].channel, c.channel);
    EXPECT_EQ(link.sent[1].replyLength, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Nozzles, StartThenStopTest,
    ::testing::Values(PumpCase{"d1_n3", false, 1, 1, 3, {0x03, 'u'}, {0x03, 's'}},
                      PumpCase{"d3_n2_channel_7", false, 7, 3, 2, {0x04, 'u'}, {0x04, 's'}},
                      PumpCase{"interleaved_d1_n2", true, 1, 1, 2, {0x04, 'u'}, {0x04, 's'}},
                      PumpCase{"interleaved_d2_n2", true, 1, 2, 2, {0x03, 'u'}, {0x03, 's'}},
                      // Nozzle 0 is accepted by the start command.
                      PumpCase{"nozzle_0", false, 1, 2, 0, {0x01, 'u'}, {0x01, 's'}},
                      PumpCase{"d32_n6", false, 32, 32, 6, {37, 'u'}, {37, 's'}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, StopPumpOnAFreshDispenserUsesNozzle1) {
    link.QueueAck();
    EXPECT_EQ(driver.StopPump(1, 1, 1), 0);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].frame, (Bytes{0x48, 0x01, 0x73, 0x01, 0x45}));
}

TEST_F(DriverTest, StopPumpWithFlag0ChecksAndSendsNothing) {
    EXPECT_EQ(driver.StopPump(99, 1, 0), 0);
    EXPECT_EQ(driver.StopPump(1, 200, 0), 0);
    EXPECT_TRUE(link.sent.empty());
    // Any non-zero flag stops.
    link.QueueAck();
    EXPECT_EQ(driver.StopPump(1, 1, 0x80), 0);
    EXPECT_EQ(link.sent.size(), 1u);
}

TEST_F(DriverTest, FailedStartRaisesAndKeepsTheNozzleItStored) {
    link.QueueSilence();
    EXPECT_TRUE(test::RaisesSerialIO([&] { driver.StartPump(1, 2, 4); }, kCannotStart));
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][2], 4);
    // The stop that follows addresses that nozzle.
    link.QueueReply({'B'});  // rejected by the reply check
    EXPECT_TRUE(test::RaisesSerialIO([&] { driver.StopPump(1, 2, 1); }, kCannotStop));
    EXPECT_EQ(Sent()[1], (Bytes{0x05, 's'}));
    EXPECT_EQ(driver.GetLinkState(1), 3);
}

TEST_F(DriverTest, PumpCommandsOutOfRangeRaiseBeforeAnythingIsStoredOrSent) {
    EXPECT_THROW(driver.StartPump(0, 1, 1), ERangeError);
    EXPECT_THROW(driver.StartPump(33, 1, 1), ERangeError);
    EXPECT_THROW(driver.StartPump(1, 0, 1), ERangeError);
    EXPECT_THROW(driver.StartPump(1, 33, 1), ERangeError);
    EXPECT_THROW(driver.StartPump(1, 1, 256), ERangeError);
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][1], 1);
    EXPECT_THROW(driver.StopPump(33, 1, 1), ERangeError);
    EXPECT_THROW(driver.StopPump(1, 0, 1), ERangeError);
    EXPECT_TRUE(link.sent.empty());
}

// ---- The host's start request.

struct StartFillCase {
    const char* name;
    std::uint8_t mode;
    bool wStart;
    std::uint8_t flag;
    std::uint16_t statusWord;  // of the started nozzle (3) before the request
    int starts;                // start frames sent
    std::uint16_t wordAfter;
};

void PrintTo(const StartFillCase& c, std::ostream* os) {
    *os << c.name;
}

class StartFillTest : public DriverTest, public ::testing::WithParamInterface<StartFillCase> {};

TEST_P(StartFillTest, StartsSentAndStatusWord) {
    const StartFillCase& c = GetParam();
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.DispenserMode = c.mode; });
    driver.WStart = c.wStart;
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.NozzleStatus[3] = c.statusWord; });
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    driver.StartFill(1, 2, 3, c.flag);
    EXPECT_EQ(Sent(), std::vector<Bytes>(static_cast<std::size_t>(c.starts), Bytes{0x04, 'u'}));
    EXPECT_EQ(driver.Tables().NozzleStatus[1][2][3], c.wordAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, StartFillTest,
    ::testing::Values(StartFillCase{"plain_start", 0x31, false, 0, 0, 1, 0},
                      StartFillCase{"flag_without_wstart_sends_nothing", 0x31, false, 1, 226, 0,
                                    226},
                      StartFillCase{"wstart_226_starts_twice", 0x31, true, 0, 226, 2, 226},
                      StartFillCase{"wstart_225_starts_twice", 0x31, true, 0, 225, 2, 225},
                      StartFillCase{"wstart_230_starts_twice", 0x31, true, 0, 230, 2, 230},
                      StartFillCase{"wstart_224_once", 0x31, true, 0, 224, 1, 224},
                      StartFillCase{"wstart_231_once", 0x31, true, 0, 231, 1, 231},
                      StartFillCase{"wstart_flag_226_once", 0x31, true, 1, 226, 1, 226},
                      StartFillCase{"wstart_flag_200_nothing", 0x31, true, 1, 200, 0, 200},
                      StartFillCase{"wstart_off_226_once", 0x00, false, 0, 226, 1, 226},
                      // Mode '0': the driver keeps the word and sends no start.
                      StartFillCase{"mode0_sets_217", '0', false, 0, 192, 0, 217},
                      StartFillCase{"mode0_wstart_226_sets_217", '0', true, 0, 226, 0, 217}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, StartFillFailureReachesTheHost) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.QueueSilence();
    EXPECT_TRUE(test::RaisesSerialIO([&] { driver.StartFill(1, 1, 1, 0); }, kCannotStart));
}

TEST_F(DriverTest, StartFillOutOfRangeRaisesBeforeSending) {
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    EXPECT_THROW(driver.StartFill(33, 1, 1, 0), ERangeError);
    EXPECT_THROW(driver.StartFill(1, 0, 1, 0), ERangeError);
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = '0'; });
    EXPECT_THROW(driver.StartFill(1, 1, 7, 0), ERangeError);
    EXPECT_TRUE(link.sent.empty());
}

// ---- The host's stop request and the mode-'0' word of nozzle 1.

TEST_F(DriverTest, StopFillOnRequestPassesTheCallersFlag) {
    GivenDispenser(driver, 1, 3, [&](DispenserState& s) {
        s.DispenserMode = 0x31;
        s.CurrentNozzle = 2;
    });
    driver.StopFillOnRequest(1, 3, 12345, 0);
    EXPECT_TRUE(link.sent.empty());
    link.QueueAck();
    driver.StopFillOnRequest(1, 3, 12345, 1);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x04, 's'}}));
    link.QueueSilence();
    EXPECT_TRUE(test::RaisesSerialIO([&] { driver.StopFillOnRequest(1, 3, 0, 1); }, kCannotStop));
}

struct ModeZeroStopCase {
    const char* name;
    std::uint16_t word1, word2;
    std::uint16_t word1After;
};

void PrintTo(const ModeZeroStopCase& c, std::ostream* os) {
    *os << c.name;
}

class ModeZeroStopTest : public DriverTest,
                         public ::testing::WithParamInterface<ModeZeroStopCase> {};

TEST_P(ModeZeroStopTest, OnlyNozzle1sRunningWordEnds) {
    const ModeZeroStopCase& c = GetParam();
    GivenDispenser(driver, 2, 4, [&](DispenserState& s) {
        s.DispenserMode = '0';
        s.NozzleStatus[1] = c.word1;
        s.NozzleStatus[2] = c.word2;
    });
    driver.StopFillOnRequest(2, 4, 0, 1);
    EXPECT_EQ(driver.Tables().NozzleStatus[2][4][1], c.word1After);
    EXPECT_EQ(driver.Tables().NozzleStatus[2][4][2], c.word2);
    EXPECT_TRUE(link.sent.empty());
}

INSTANTIATE_TEST_SUITE_P(Words, ModeZeroStopTest,
                         ::testing::Values(ModeZeroStopCase{"running_ends", 217, 0, 209},
                                           ModeZeroStopCase{"nozzle2_running_kept", 192, 217, 192},
                                           ModeZeroStopCase{"running_on_2_kept", 218, 0, 218},
                                           ModeZeroStopCase{"ended_kept", 209, 0, 209},
                                           ModeZeroStopCase{"waiting_kept", 225, 0, 225}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, ModeZeroStartThenStopRequest) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = '0'; });
    driver.StartFill(1, 1, 1, 0);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][1], 217);
    driver.StopFillOnRequest(1, 1, 0, 1);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][1], 209);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DriverTest, StopFillOnRequestOutOfRange) {
    EXPECT_THROW(driver.StopFillOnRequest(33, 1, 0, 0), ERangeError);
    EXPECT_THROW(driver.StopFillOnRequest(1, 33, 0, 0), ERangeError);
}

// ---- Host event 4.

struct EventCase {
    const char* name;
    std::uint32_t event;
    std::uint8_t mode;
    std::uint16_t wordAfter;  // nozzle 3's word, 217 before
};

void PrintTo(const EventCase& c, std::ostream* os) {
    *os << c.name;
}

class HostEventTest : public DriverTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(HostEventTest, ResetsOnlyAModeZeroNozzleOnEvent4) {
    const EventCase& c = GetParam();
    GivenDispenser(driver, 5, 6, [&](DispenserState& s) {
        s.DispenserMode = c.mode;
        s.NozzleStatus[3] = 217;
        s.NozzleStatus[1] = 217;
    });
    driver.HandleHostEvent(c.event, 0xDEAD, 5, 6, 3);
    EXPECT_EQ(driver.Tables().NozzleStatus[5][6][3], c.wordAfter);
    EXPECT_EQ(driver.Tables().NozzleStatus[5][6][1], 217);
    EXPECT_TRUE(link.sent.empty());
}

INSTANTIATE_TEST_SUITE_P(Events, HostEventTest,
                         ::testing::Values(EventCase{"event4_mode0", 4, '0', 192},
                                           EventCase{"event4_other_mode", 4, 0x31, 217},
                                           EventCase{"event3_mode0", 3, '0', 217},
                                           EventCase{"event5_mode0", 5, '0', 217}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, HostEventChecksOnlyWhatItUses) {
    // Another event returns before looking at its indexes.
    driver.HandleHostEvent(5, 0, 99, 99, 99);
    // Event 4 checks channel and dispenser, and the nozzle only in mode '0'.
    EXPECT_THROW(driver.HandleHostEvent(4, 0, 33, 1, 1), ERangeError);
    EXPECT_THROW(driver.HandleHostEvent(4, 0, 1, 0, 1), ERangeError);
    driver.HandleHostEvent(4, 0, 1, 1, 7);
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = '0'; });
    EXPECT_THROW(driver.HandleHostEvent(4, 0, 1, 1, 7), ERangeError);
    EXPECT_THROW(driver.HandleHostEvent(4, 0, 1, 1, 0), ERangeError);
}

}  // namespace
}  // namespace fuel
