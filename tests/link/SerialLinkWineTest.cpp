// The Win32 serial link as a Windows program meets it: a COM port. Under Wine the port is
// a symbolic link in the prefix's dosdevices folder onto the pseudo-terminal that
// fuel-emulator serves (wine-serial-test.sh sets that up and tells us the port's name), so
// the driver runs a whole fill through the Win32 COM code against the emulator.
//
// The emulator is started with a wrong checksum in the reply to the run's first request;
// the tests run in the order written and share one driver and one open port.
//
// A second emulator serves the same bus behind a TCP port on the loopback address, as a
// converter does; FUEL_TEST_TCP names it, and the Winsock line is tried against it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/TVM30.h"
#include "link/SerialLink.h"

namespace fuel::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kChannel = 1;
constexpr std::uint8_t kDispenser = 3;
constexpr std::uint8_t kNozzle = 1;

class SerialLinkOnWine : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const char* port = std::getenv("FUEL_TEST_COM");
        PortMap map;
        PortSettings settings;
        settings.device = port != nullptr ? port : "COM1";
        // Wide time-outs: the emulator and Wine share a machine that may be loaded, and
        // these tests are about the COM code, not about timing.
        settings.replyTimeout = std::chrono::milliseconds(500);
        settings.interByteTimeout = std::chrono::milliseconds(200);
        map.Assign(kChannel, settings);
        link = std::make_unique<SerialLink>(std::move(map));
        driver = std::make_unique<TVM30>(0x10, link.get(), "");
    }
    static void TearDownTestSuite() {
        driver.reset();
        link.reset();
    }
    static std::uint8_t Poll() {
        StatusRecordEx record;
        driver->PollDispenserStatusEx(kChannel, kDispenser, 2, record);
        return record.bytes[0];
    }

    static inline std::unique_ptr<SerialLink> link;
    static inline std::unique_ptr<TVM30> driver;
};

TEST_F(SerialLinkOnWine, PortOpensWithTheDriverSettings) {
    ASSERT_EQ(driver->InitLink(kChannel), 0) << link->LastProblem(kChannel);
    EXPECT_TRUE(link->IsOpen(kChannel));
}

TEST_F(SerialLinkOnWine, FirstReplyWithAWrongChecksumIsRetried) {
    EXPECT_EQ(Poll(), 200);  // idle
    EXPECT_EQ(driver->Tables().LinkState[kChannel], 1);
    EXPECT_EQ(link->Counters().retries, 1u);
    EXPECT_EQ(link->Counters().rejectedBadChecksum, 1u);
    EXPECT_EQ(link->Counters().failed, 0u);
}

TEST_F(SerialLinkOnWine, CompleteFillThroughTheComPort) {
    driver->SetPrice(kChannel, kDispenser, kNozzle, 0, 0, 45.67);
    double before = -1, money = -1;
    driver->GetTotalizer(kChannel, kDispenser, kNozzle, before, money, 0, 0);
    EXPECT_DOUBLE_EQ(before, 1520.00);

    driver->SetVolumeLimit(kChannel, kDispenser, kNozzle, 0, 2.0);
    driver->StartFill(kChannel, kDispenser, kNozzle, 0);
    std::vector<std::uint8_t> codes;
    for (int i = 0; i < 100; ++i) {
        const std::uint8_t code = Poll();
        ASSERT_EQ(driver->Tables().LinkState[kChannel], 1);
        if (codes.empty() || codes.back() != code) {
            codes.push_back(code);
        }
        if (code == 208 + kNozzle) {
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(codes, (std::vector<std::uint8_t>{216 + kNozzle, 208 + kNozzle}));

    double volume = 0, amount = 0;
    driver->GetFinalDispensedData(kChannel, kDispenser, volume, amount);
    EXPECT_DOUBLE_EQ(volume, 2.0);
    EXPECT_NEAR(amount, 91.34, 1e-9);
    double after = -1;
    driver->GetTotalizer(kChannel, kDispenser, kNozzle, after, money, 0, 0);
    EXPECT_NEAR(after, 1522.00, 1e-9);
}

TEST_F(SerialLinkOnWine, MissingPortFailsCleanly) {
    PortMap map;
    PortSettings settings;
    settings.device = "COM9";  // nothing in dosdevices behind it
    map.Assign(kChannel, settings);
    SerialLink other(std::move(map));
    TVM30 lonely(0x10, &other, "");
    EXPECT_NE(lonely.InitLink(kChannel), 0);
    EXPECT_NE(other.LastProblem(kChannel).find("COM9: cannot open"), std::string::npos)
        << other.LastProblem(kChannel);
    StatusRecordEx record;
    EXPECT_THROW(lonely.PollDispenserStatusEx(kChannel, kDispenser, 2, record), ESerialIO);
    EXPECT_EQ(other.GetChannelError(kChannel), line_code::kPortUnavailable);
}

// ---- The Winsock line.

PortMap ConverterMap(const std::string& device) {
    PortMap map;
    PortSettings settings;
    settings.device = device;
    settings.replyTimeout = std::chrono::milliseconds(500);
    settings.interByteTimeout = std::chrono::milliseconds(200);
    map.Assign(kChannel, settings);
    return map;
}

TEST(TcpPortOnWine, PollAndTotaliserThroughTheConverter) {
    const char* address = std::getenv("FUEL_TEST_TCP");
    if (address == nullptr || *address == '\0') {
        GTEST_SKIP() << "no converter address in FUEL_TEST_TCP";
    }
    SerialLink link(ConverterMap(address));
    TVM30 driver(0x10, &link, "");
    ASSERT_EQ(driver.InitLink(kChannel), 0) << link.LastProblem(kChannel);
    StatusRecordEx record;
    driver.PollDispenserStatusEx(kChannel, kDispenser, 2, record);
    EXPECT_EQ(record.bytes[0], 200);  // idle
    double volume = -1, money = -1;
    driver.GetTotalizer(kChannel, kDispenser, kNozzle, volume, money, 0, 0);
    EXPECT_DOUBLE_EQ(volume, 1520.00);
    EXPECT_EQ(link.Counters().failed, 0u);
    EXPECT_GT(link.Counters().networkTime.count(), 0);
    EXPECT_EQ(link.Counters().wireTime.count(), 0);
}

TEST(TcpPortOnWine, ConverterNobodyListensOnFailsCleanly) {
    SerialLink link(ConverterMap("tcp://127.0.0.1:1"));
    TVM30 driver(0x10, &link, "");
    EXPECT_EQ(driver.InitLink(kChannel), line_code::kPortUnavailable);
    EXPECT_NE(link.LastProblem(kChannel).find("tcp://127.0.0.1:1: cannot connect"),
              std::string::npos)
        << link.LastProblem(kChannel);
    StatusRecordEx record;
    EXPECT_THROW(driver.PollDispenserStatusEx(kChannel, kDispenser, 2, record), ESerialIO);
    EXPECT_EQ(link.GetChannelError(kChannel), line_code::kPortUnavailable);
}

}  // namespace
}  // namespace fuel::test
