// The emulator on its own: request frames in, the controllers' bytes out, named literally.
#include "emulator/Emulator.h"

#include <gtest/gtest.h>

#include <vector>

namespace fuel::emulator {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Dispenser 1: mode '1', plain replies, codes 1 and 2. Dispenser 3: mode 0x42 with three
// volume and two money decimals, marked replies, codes 3 and 4. Dispenser 5: mode '0', code 5.
const char* const kBus = R"(
addressing = sequential
[dispenser 1]
nozzles = 2
mode = 1
flow = 0.5
price = 45.67 52.30
total = 1520.00 874.25
[dispenser 3]
nozzles = 2
mode = 0x42
decimals = 3 2
layout = marked
flow = 1.0
price = 48.90
total = 20480.5
[dispenser 5]
mode = 0
flow = 0.5
price = 40
total = 100
)";

class EmulatorTest : public ::testing::Test {
protected:
    Emulator bus{ParseConfig(kBus)};

    Bytes Send(const Bytes& request) {
        const Reply reply = bus.Handle(request);
        return Bytes(reply.Bytes().begin(), reply.Bytes().end());
    }
    void Wait(double seconds) {
        bus.Advance(std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds)));
    }
};

const Bytes kStart1 = {'H', 0x01, 'u', 0x03, 'E'};
const Bytes kStop1 = {'H', 0x01, 's', 0x01, 'E'};
const Bytes kStatus1 = {'H', 0x01, 'D', 0xD2, 'E'};
const Bytes kIdleStatus1 = {'A', 'H', 0x01, 'D', '0', '0', '0', '0', '0',
                            '0', '0', '0', '0', '0', '0', '0', 0x12, 'E'};

TEST_F(EmulatorTest, IdleNozzleAnswersStatusInThePlainLayout) {
    EXPECT_EQ(Send(kStatus1), kIdleStatus1);
}

TEST_F(EmulatorTest, LitreDoseFillRunsOnTheClockAndStopsAtTheDose) {
    EXPECT_EQ(Send({'H', 0x01, 'd', '0', '1', '0', '0', '0', 0xE3, 'E'}), Bytes{'A'});
    EXPECT_EQ(Send(kStart1), Bytes{'A'});
    Wait(4.0);  // 0.5 l/s: 2.00 litres
    EXPECT_EQ(Send(kStatus1), (Bytes{'A', 'H', 0x01, 'D', '2', '0', '0', '0', '2', '0', '0',
                                     '0', '0', '0', '0', '0', 0x16, 'E'}));
    Wait(60.0);
    EXPECT_EQ(Send(kStatus1), (Bytes{'A', 'H', 0x01, 'D', 0x0C, '0', '0', '1', '0', '0', '0',
                                     '0', '0', '0', '0', '0', 0xEF, 'E'}));
    // 10.00 litres at 45.67: 456.70 in the 7-digit field; the totaliser 1520.00 + 10.00.
    EXPECT_EQ(Send({'H', 0x01, 'U', 0xE3, 'E'}),
              (Bytes{'A', 'H', 0x01, 'U', '0', '0', '0', '4', '5', '6', '7', '0', '0', '0', '0',
                     '0', '9', 'E'}));
    EXPECT_EQ(Send({'H', 0x01, 'S', 0xE1, 'E'}),
              (Bytes{'A', 'H', 0x01, 'S', '0', '0', '0', '1', '5', '3', '0', '0', '0', '0', '0',
                     '0', '0', '0', 0x8A, 'E'}));
    const NozzleView view = bus.Nozzle(1, 1);
    EXPECT_EQ(view.phase, NozzlePhase::Ended);
    EXPECT_DOUBLE_EQ(view.volume, 10.0);
    EXPECT_DOUBLE_EQ(view.total, 1530.0);
}

TEST_F(EmulatorTest, MoneyDoseInMarkedLayoutWithDecimalsEndsOnTheAmount) {
    // 100.00 money at 48.90 with three volume decimals: 2.045 litres, exactly 100.00.
    EXPECT_EQ(Send({'H', 0x03, 'e', '0', '1', '0', '0', '0', '0', 0x16, 'E'}), Bytes{'A'});
    EXPECT_EQ(Send({'H', 0x03, 'u', 0x05, 'E'}), Bytes{'A'});
    Wait(10.0);
    EXPECT_EQ(Send({'H', 0x03, 'D', 0xD4, 'E'}),
              (Bytes{'A', 'H', 0x03, 'D', 0xF2, 0x0C, '0', '0', '0', '0', '0', '2', '.', '0',
                     '4', '5', 0xBB, 'E'}));
    EXPECT_EQ(Send({'H', 0x03, 'U', 0xE5, 'E'}),
              (Bytes{'A', 'H', 0x03, 'U', 0xF2, '0', '0', '0', '0', '0', '1', '0', '0', '.',
                     '0', '0', 0xE6, 'E'}));
    EXPECT_EQ(Send({'H', 0x03, 'S', 0xE3, 'E'}),
              (Bytes{'A', 'H', 0x03, 'S', 0xF2, '0', '0', '2', '0', '4', '8', '2', '.', '5',
                     '4', '5', '0', '0', 'a', 'E'}));
}

TEST_F(EmulatorTest, ModeZeroControllerStartsOnLiftAndAnswersWithSeparatorFields) {
    bus.LiftNozzle(5, 1, 3.0);
    EXPECT_EQ(bus.Nozzle(5, 1).phase, NozzlePhase::Running);
    Wait(30.0);
    EXPECT_EQ(Send({'H', 0x05, 'D', 0xD6, 'E'}),
              (Bytes{'A', 'H', 0x05, 'D', 0x0C, '0', '0', '3', '.', '0', '0', '0', '0', '0',
                     '0', '0', 0xF3, 'E'}));
    EXPECT_EQ(Send({'H', 0x05, 'S', 0xE5, 'E'}),
              (Bytes{'A', 'H', 0x05, 'S', '0', '0', '0', '0', '1', '0', '3', '.', '0', '0',
                     '0', '0', '0', '0', 0x87, 'E'}));
}

TEST_F(EmulatorTest, NozzleLifecycle) {
    Emulator manual{[] {
        Config c = ParseConfig(kBus);
        c.autoLift = false;
        return c;
    }()};
    const auto phase = [&] { return manual.Nozzle(1, 2).phase; };
    const Bytes start2 = {'H', 0x02, 'u', 0x04, 'E'};
    const Bytes stop2 = {'H', 0x02, 's', 0x02, 'E'};
    manual.LiftNozzle(1, 2);
    EXPECT_EQ(phase(), NozzlePhase::Waiting);
    manual.HangUpNozzle(1, 2);
    EXPECT_EQ(phase(), NozzlePhase::Idle);
    manual.Handle(start2);
    EXPECT_EQ(phase(), NozzlePhase::Authorised);
    manual.LiftNozzle(1, 2);
    EXPECT_EQ(phase(), NozzlePhase::Running);
    manual.Advance(2s);
    manual.Handle(stop2);
    EXPECT_EQ(phase(), NozzlePhase::Stopped);
    manual.Advance(10s);
    EXPECT_DOUBLE_EQ(manual.Nozzle(1, 2).volume, 1.0);  // frozen by the stop
    // A customer who hangs up mid-fill ends it where it stands.
    manual.Handle(start2);
    manual.Advance(1s);
    manual.HangUpNozzle(1, 2);
    EXPECT_EQ(phase(), NozzlePhase::Ended);
    EXPECT_DOUBLE_EQ(manual.Nozzle(1, 2).volume, 0.5);
    EXPECT_DOUBLE_EQ(manual.Nozzle(1, 2).total, 874.25 + 1.0 + 0.5);
}

TEST_F(EmulatorTest, PriceIsSetAndReadBack) {
    EXPECT_EQ(Send({'H', 0x01, 'c', '4', '5', '6', '7', 0xC7, 'E'}), Bytes{'A'});
    EXPECT_EQ(Send({'H', 0x01, 'C', 0xD1, 'E'}),
              (Bytes{'A', 'H', 0x01, 'C', '0', '4', '5', '6', '7', 0xD7, 'E'}));
}

TEST_F(EmulatorTest, CellsCarryTheModeAndAreWritable) {
    // Plain layout: the value in bytes 5 and 6; marked: in 7 and 8.
    EXPECT_EQ(Send({'H', 0x01, 'X', '9', '4', 'S', 'E'}),
              (Bytes{'A', 'H', 0x01, 'X', '0', '3', '1', '0', '0', 0xDA, 'E'}));
    EXPECT_EQ(Send({'H', 0x03, 'X', '9', '4', 'U', 'E'}),
              (Bytes{'A', 'H', 0x03, 'X', 0xF2, '0', '0', 0x3F, 0x3F, 0xB8, 'E'}));
    EXPECT_EQ(bus.RamCell(3, 150), 0x42);
    EXPECT_EQ(bus.RamCell(3, 129), 0x32);
    EXPECT_EQ(bus.Mode(5), '0');

    EXPECT_EQ(Send({'H', 0x01, 'x', '9', '4', '4', '2', 0xD9, 'E'}), Bytes{'A'});
    EXPECT_EQ(bus.Mode(1), 0x42);
    EXPECT_EQ(Send({'H', 0x01, 'y', '0', ':', '5', '?', 0xE5, 'E'}), Bytes{'A'});
    EXPECT_EQ(bus.RomCell(1, 10), 0x5F);
    EXPECT_EQ(bus.RamCell(1, 10), 0x00);
}

// ROM cells from the configuration answer 'Y' only; the RAM cell of the same number is apart.
TEST(EmulatorRomTest, ConfiguredRomCellsAreRead) {
    Emulator bus{ParseConfig("[dispenser 2]\nrom 0x80 = 0x5F\ncell 0x80 = 0x01\n")};
    const Reply rom = bus.Handle(Bytes{'H', 0x02, 'Y', '8', '0', 0x50, 'E'});
    EXPECT_EQ(Bytes(rom.Bytes().begin(), rom.Bytes().end()),
              (Bytes{'A', 'H', 0x02, 'Y', '0', '5', '?', '0', '0', 0xEC, 'E'}));
    EXPECT_EQ(bus.RomCell(2, 0x80), 0x5F);
    EXPECT_EQ(bus.RamCell(2, 0x80), 0x01);
}

TEST(EmulatorRomTest, WriteProtectedRomAcknowledgesAndKeepsItsCell) {
    Emulator bus{ParseConfig("[dispenser 1]\nrom 10 = 0x33\nrom-writable = no\n")};
    const Reply reply = bus.Handle(Bytes{'H', 0x01, 'y', '0', ':', '5', '?', 0xE5, 'E'});
    EXPECT_EQ(Bytes(reply.Bytes().begin(), reply.Bytes().end()), Bytes{'A'});
    EXPECT_EQ(bus.RomCell(1, 10), 0x33);
    bus.Handle(Bytes{'H', 0x01, 'x', '0', ':', '5', '?', 0xE4, 'E'});
    EXPECT_EQ(bus.RamCell(1, 10), 0x5F);
}

TEST_F(EmulatorTest, FramesNoControllerWouldAnswerGetSilence) {
    const std::vector<Bytes> unanswered = {
        {'H', 0x01, 'D', 0xD3, 'E'},             // checksum off by one
        {'G', 0x01, 'D', 0xD1, 'E'},             // no 'H'
        {'H', 0x01, 'D', 0xD2, 'F'},             // no 'E'
        {'H', 0x09, 'D', 0xDA, 'E'},             // no nozzle has code 9
        {'H', 0x02, 'X', '9', '4', 'T', 'E'},    // no dispenser 2 for the cell commands
        {'H', 0x01, 'u', '1', 0x34, 'E'},        // 'u' with a parameter
        {'H', 0x01, 'd', '0', '1', 'x', '0', '0', 0x2B, 'E'},  // a dose that is no number
        {'H', 0x01, 'q', 0xFF, 'E'},             // no such command
        {'H', 'E'},
        {},
    };
    for (const Bytes& request : unanswered) {
        EXPECT_TRUE(bus.Handle(request).Silent()) << ::testing::PrintToString(request);
    }
    EXPECT_EQ(bus.Counters().ignored, unanswered.size());
    EXPECT_EQ(bus.Counters().answered, 0u);
}

struct FaultCase {
    Fault fault;
    Bytes bytes;
    Duration delay;
    Duration gap;
};

class FaultShapeTest : public EmulatorTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultShapeTest, ShapesTheStatusReply) {
    const FaultCase& c = GetParam();
    bus.InjectFault(c.fault);
    const Reply reply = bus.Handle(kStatus1);
    EXPECT_EQ(Bytes(reply.Bytes().begin(), reply.Bytes().end()), c.bytes);
    EXPECT_EQ(reply.delay, c.delay);
    EXPECT_EQ(reply.byteGap, c.gap);
    EXPECT_EQ(reply.fault, c.fault);
    // Spent: the next reply is clean.
    EXPECT_EQ(Send(kStatus1), kIdleStatus1);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFault, FaultShapeTest,
    ::testing::Values(
        FaultCase{Fault::WrongFirstByte,
                  {'N', 'H', 0x01, 'D', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                   '0', 0x12, 'E'},
                  5ms, 0ms},
        FaultCase{Fault::OnlyAcknowledge, {'A'}, 5ms, 0ms},
        FaultCase{Fault::MissingEnd,
                  {'A', 'H', 0x01, 'D', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                   '0', 0x12},
                  5ms, 0ms},
        FaultCase{Fault::WrongChecksum,
                  {'A', 'H', 0x01, 'D', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                   '0', 0x13, 'E'},
                  5ms, 0ms},
        FaultCase{Fault::NonDigit,
                  {'A', 'H', 0x01, 'D', '0', '0', '0', '0', '0', '0', 'x', '0', '0', '0', '0',
                   '0', 'Z', 'E'},
                  5ms, 0ms},
        FaultCase{Fault::Silence, {}, 5ms, 0ms},
        FaultCase{Fault::LateReply, kIdleStatus1, 400ms, 0ms},
        FaultCase{Fault::SplitBytes, kIdleStatus1, 5ms, 30ms}),
    [](const auto& info) {
        std::string name(FaultName(info.param.fault));
        std::erase(name, '-');
        return name;
    });

TEST_F(EmulatorTest, DataFaultsWaitForADataReply) {
    bus.InjectFault(Fault::WrongChecksum);
    bus.InjectFault(Fault::NonDigit);
    EXPECT_EQ(Send(kStart1), Bytes{'A'});  // an acknowledgement has no checksum to break
    EXPECT_EQ(bus.PendingFaults(), 2);
    EXPECT_EQ(bus.Handle(kStatus1).fault, Fault::WrongChecksum);
    // A cell value is no decimal number: the non-digit fault waits on.
    EXPECT_FALSE(bus.Handle(Bytes{'H', 0x01, 'X', '9', '4', 'S', 'E'}).fault.has_value());
    EXPECT_EQ(bus.Handle(kStatus1).fault, Fault::NonDigit);
    EXPECT_EQ(bus.PendingFaults(), 0);
    // The wrong first byte fits an acknowledgement as well.
    bus.InjectFault(Fault::WrongFirstByte);
    EXPECT_EQ(Send(kStop1), Bytes{'N'});
}

TEST_F(EmulatorTest, FaultsAtARateAreReproducible) {
    const auto run = [](std::uint64_t seed) {
        Emulator e{ParseConfig(kBus)};
        e.SetFaultSeed(seed);
        e.SetFaultRate(Fault::Silence, 0.25);
        std::string pattern;
        for (int i = 0; i < 400; ++i) pattern += e.Handle(kStatus1).Silent() ? 'x' : '.';
        return pattern;
    };
    const std::string first = run(7);
    EXPECT_EQ(first, run(7));
    EXPECT_NE(first, run(8));
    const auto silent = std::count(first.begin(), first.end(), 'x');
    EXPECT_GT(silent, 60);
    EXPECT_LT(silent, 140);

    bus.SetFaultRate(Fault::Silence, 1.0);
    EXPECT_TRUE(bus.Handle(kStatus1).Silent());
    bus.ClearFaults();
    EXPECT_FALSE(bus.Handle(kStatus1).Silent());
}

TEST(Fields, HighDigitsOfAHugeNumberAreDropped) {
    // Fifteen decimals of a million litres: the field keeps its low digits, nothing breaks.
    Emulator bus{ParseConfig("[dispenser 1]\nmode = 0x40\ndecimals = 15 15\ntotal = 1000000\n")};
    const Reply reply = bus.Handle(Bytes{'H', 0x01, 'S', 0xE1, 'E'});
    EXPECT_EQ(Bytes(reply.Bytes().begin(), reply.Bytes().end()),
              (Bytes{'A', 'H', 0x01, 'S', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                     '0', '0', '0', 0x81, 'E'}));
}

TEST(Clocks, VirtualMovesWhenToldRealFollowsTheSteadyClock) {
    VirtualClock virtualClock;
    virtualClock.Advance(250ms);
    virtualClock.Advance(-1s);  // time never runs back
    EXPECT_EQ(virtualClock.Now(), 250ms);
    // Unpaced, the real clock's Advance returns at once: it is the wall clock that moves.
    RealClock realClock(false);
    const Duration before = realClock.Now();
    realClock.Advance(1h);
    EXPECT_LT(realClock.Now() - before, 1s);
    EXPECT_GE(realClock.Now(), before);
}

TEST(FaultNames, RoundTrip) {
    for (const Fault fault : kAllFaults) {
        EXPECT_EQ(FaultFromName(FaultName(fault)), fault);
    }
    EXPECT_FALSE(FaultFromName("checksums").has_value());
}

}  // namespace
}  // namespace fuel::emulator
