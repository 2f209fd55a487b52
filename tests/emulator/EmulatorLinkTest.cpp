// The in-process link: the line model's timing, the timeouts, the verdicts of the registered
// reply check, the retries and the counters.
#include "link/EmulatorLink.h"

#include <gtest/gtest.h>

#include <vector>

#include "driver/TVM30.h"

namespace fuel {
namespace {

using emulator::Duration;
using emulator::Fault;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const char* const kBus = "[dispenser 1]\nnozzles = 2\nprice = 45.67\n";

// At 4800 baud a byte takes 2083333 ns; a status exchange is 5 bytes out, 18 back.
constexpr Duration kByte = 2083333ns;

class EmulatorLinkTest : public ::testing::Test {
  protected:
    emulator::Emulator bus{emulator::ParseConfig(kBus)};
    EmulatorLink link{bus, 1, NoRetries()};
    TVM30 driver{0, &link, ""};
    CommandBuffer buffer{};

    static EmulatorLinkOptions NoRetries() {
        EmulatorLinkOptions o;
        o.retry.attempts = 1;
        return o;
    }
    std::int32_t Status() {
        buffer = {0x01, 'D'};
        return driver.Exchange(1, buffer, 2, 18);
    }
    Bytes Reply(std::size_t length) const { return Bytes(buffer.begin(), buffer.begin() + length); }
};

const Bytes kIdleStatus1 = {'A', 'H', 0x01, 'D', '0', '0', '0', '0',  '0',
                            '0', '0', '0',  '0', '0', '0', '0', 0x12, 'E'};

TEST_F(EmulatorLinkTest, CleanExchangeTakesTheLinesTime) {
    ASSERT_EQ(Status(), 0);
    EXPECT_EQ(Reply(18), kIdleStatus1);
    EXPECT_EQ(driver.Tables().LinkState[1], 1);
    const LineCounters& c = link.Counters();
    EXPECT_EQ(c.exchanges, 1u);
    EXPECT_EQ(c.accepted, 1u);
    EXPECT_EQ(c.bytesSent, 5u);
    EXPECT_EQ(c.bytesReceived, 18u);
    // 23 bytes on the line plus the controller's 5 ms turnaround.
    const auto expected = 23 * kByte + 5ms;
    EXPECT_NEAR(static_cast<double>(c.wireTime.count()), static_cast<double>(expected.count()),
                1000);
    EXPECT_EQ(c.latency.min, c.latency.max);
    EXPECT_EQ(bus.Now(), c.wireTime);  // the emulator's clock ran with the line

    // The driver's settings are the link's: 75 ms, 4800 baud; twice the speed halves the bytes.
    EXPECT_EQ(driver.InitLink(1), 0);
    EXPECT_EQ(link.Options(1).responseTimeout, 75ms);
    EXPECT_EQ(link.ConfigureLine(1, 75, 9600), 0);
    EXPECT_NEAR(static_cast<double>(link.WireTime(1, 23).count()),
                static_cast<double>((23 * kByte / 2).count()), 1000);
    EXPECT_EQ(link.ConfigureLine(1, 75, 0), line_code::kBadRequest);
}

// Each fault, with no retries: the code the exchange returns and the counter that saw it.
struct FaultCase {
    Fault fault;
    std::int32_t code;
    std::uint64_t LineCounters::*counter;
    std::uint8_t receivedCount;
};

class LinkFaultTest : public EmulatorLinkTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LinkFaultTest, EndsInTheLinksVerdictAndTheNextExchangeRecovers) {
    const FaultCase& f = GetParam();
    std::vector<AttemptVerdict> verdicts;
    link.onReply = [&](std::uint32_t, std::span<const std::uint8_t>, const AttemptVerdict& v) {
        verdicts.push_back(v);
    };
    bus.InjectFault(f.fault);
    EXPECT_EQ(Status(), f.code);
    EXPECT_EQ(driver.Tables().LinkState[1], 3);
    EXPECT_EQ(link.Counters().*(f.counter), 1u);
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_FALSE(verdicts[0].accepted);
    EXPECT_EQ(verdicts[0].code, f.code);
    EXPECT_EQ(verdicts[0].receivedCount, f.receivedCount);

    EXPECT_EQ(Status(), 0);
    EXPECT_EQ(Reply(18), kIdleStatus1);
    EXPECT_EQ(driver.Tables().LinkState[1], 1);
    EXPECT_EQ(link.Counters().failed, 1u);
    EXPECT_EQ(link.Counters().accepted, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    LineFaults, LinkFaultTest,
    ::testing::Values(FaultCase{Fault::WrongFirstByte, 223, &LineCounters::rejectedBadStart, 18},
                      FaultCase{Fault::OnlyAcknowledge, 219, &LineCounters::rejectedOnlyAcknowledge,
                                1},
                      FaultCase{Fault::MissingEnd, 209, &LineCounters::rejectedNoEnd, 17},
                      FaultCase{Fault::WrongChecksum, 222, &LineCounters::rejectedBadChecksum, 18},
                      FaultCase{Fault::Silence, line_code::kSilence, &LineCounters::timeouts, 0},
                      FaultCase{Fault::LateReply, line_code::kSilence, &LineCounters::timeouts, 0},
                      // The gaps exceed the inter-byte timeout: the port hands over the lone 'A'.
                      FaultCase{Fault::SplitBytes, 219, &LineCounters::rejectedOnlyAcknowledge, 1}),
    [](const auto& info) {
        std::string name(emulator::FaultName(info.param.fault));
        std::erase(name, '-');
        return name;
    });

TEST_F(EmulatorLinkTest, LateReplyIsLetFinishAndDroppedBeforeTheNextRequest) {
    bus.InjectFault(Fault::LateReply);
    ASSERT_EQ(Status(), line_code::kSilence);
    const Duration afterTimeout = bus.Now();
    EXPECT_NEAR(static_cast<double>(afterTimeout.count()),
                static_cast<double>((5 * kByte + 75ms).count()), 1000);
    std::vector<Duration> sentAt;
    link.onFrame = [&](std::uint32_t, std::span<const std::uint8_t>, int) {
        sentAt.push_back(bus.Now());
    };
    ASSERT_EQ(Status(), 0);
    // The late reply started 400 ms after the first frame and took 18 bytes.
    ASSERT_EQ(sentAt.size(), 1u);
    EXPECT_NEAR(static_cast<double>(sentAt[0].count()),
                static_cast<double>((5 * kByte + 400ms + 18 * kByte).count()), 1000);
    EXPECT_EQ(link.Counters().bytesDiscarded, 18u);
    EXPECT_EQ(Reply(18), kIdleStatus1);
}

TEST_F(EmulatorLinkTest, RetriesAbsorbASingleFaultAndAreCounted) {
    link.Options(1).retry.attempts = 3;
    std::vector<std::int32_t> codes;
    std::vector<int> attempts;
    link.onFrame = [&](std::uint32_t, std::span<const std::uint8_t> frame, int attempt) {
        EXPECT_EQ(Bytes(frame.begin(), frame.end()), (Bytes{'H', 0x01, 'D', 0xD2, 'E'}));
        attempts.push_back(attempt);
    };
    link.onReply = [&](std::uint32_t, std::span<const std::uint8_t>, const AttemptVerdict& v) {
        codes.push_back(v.code);
    };
    bus.InjectFault(Fault::WrongChecksum);
    EXPECT_EQ(Status(), 0);
    EXPECT_EQ(attempts, (std::vector<int>{1, 2}));
    EXPECT_EQ(codes, (std::vector<std::int32_t>{222, 0}));
    EXPECT_EQ(link.Counters().retries, 1u);
    EXPECT_EQ(link.Counters().rejectedBadChecksum, 1u);
    EXPECT_EQ(link.Counters().accepted, 1u);

    // Silence on every attempt: three timeouts, one failed exchange.
    link.ResetCounters();
    bus.SetFaultRate(Fault::Silence, 1.0);
    const Duration before = bus.Now();
    EXPECT_EQ(Status(), line_code::kSilence);
    EXPECT_EQ(link.Counters().timeouts, 3u);
    EXPECT_EQ(link.Counters().retries, 2u);
    EXPECT_EQ(link.Counters().failed, 1u);
    EXPECT_NEAR(static_cast<double>((bus.Now() - before).count()),
                static_cast<double>((3 * (5 * kByte + 75ms)).count()), 1000);
}

bool AcceptEverything(void*, std::uint32_t, const std::uint8_t*, std::int32_t, const std::uint8_t&,
                      const std::uint8_t&) {
    return true;
}

bool Raise(void*, std::uint32_t, const std::uint8_t*, std::int32_t, const std::uint8_t&,
           const std::uint8_t&) {
    throw ERangeError();
}

TEST_F(EmulatorLinkTest, ACheckThatRaisesLeavesAFailureBehind) {
    ASSERT_EQ(Status(), 0);  // the channel's error is now 0
    std::array<std::uint8_t, 18> reply{};
    const Bytes status = {'H', 0x01, 'D', 0xD2, 'E'};
    link.SetReplyValidator(1, ReplyHandler{&Raise, nullptr});
    EXPECT_THROW(link.Transact(1, status.data(), 5, reply.data(), 18, 0), ERangeError);
    EXPECT_EQ(link.GetChannelError(1), line_code::kUnjudged);
    EXPECT_EQ(link.GetChannelState(1), 3);
    // The same for a trace hook, through the driver: the exchange fails.
    link.onFrame = [](std::uint32_t, std::span<const std::uint8_t>, int) {
        throw std::runtime_error("trace output failed");
    };
    EXPECT_EQ(Status(), line_code::kUnjudged);
}

TEST_F(EmulatorLinkTest, RefusesWhatCannotBeJudgedOrIsShort) {
    std::array<std::uint8_t, 18> reply{};
    const Bytes start = {'H', 0x01, 'u', 0x03, 'E'};
    // Nobody registered a reply check.
    EXPECT_EQ(link.Transact(1, start.data(), 5, reply.data(), 1, 0), line_code::kUnjudged);
    EXPECT_EQ(link.GetChannelState(1), 3);
    // A lenient check accepts a lone 'A' where 18 bytes were asked: the link does not.
    link.SetReplyValidator(1, ReplyHandler{&AcceptEverything, nullptr});
    EXPECT_EQ(link.Transact(1, start.data(), 5, reply.data(), 18, 0), line_code::kShortReply);
    EXPECT_EQ(link.Transact(1, start.data(), 5, reply.data(), 1, 0), 0);
    // No bus, no frame, no channel.
    EXPECT_EQ(link.Transact(2, start.data(), 5, reply.data(), 1, 0), line_code::kNoPort);
    EXPECT_EQ(link.Transact(1, start.data(), 0, reply.data(), 1, 0), line_code::kBadRequest);
    EXPECT_THROW(link.Transact(33, start.data(), 5, reply.data(), 1, 0), ERangeError);
    EXPECT_THROW(link.GetChannelError(0), ERangeError);
    // Without an initializer there is nothing to rerun; the driver's forwards to ConfigureLine.
    EXPECT_EQ(link.Reinitialize(1), line_code::kNoInitializer);
    driver.InitLink(1);
    EXPECT_EQ(link.Reinitialize(1), 0);
}

}  // namespace
}  // namespace fuel
