// Operations built on other operations call them through the object's own table, so a host
// (or a derived driver) that replaces an entry sees every use of it.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/DriverFixture.h"

namespace fuel {
namespace {

using test::Bytes;
using test::GivenDispenser;

class SpyDriver : public TVM30 {
  public:
    using TVM30::TVM30;
    std::vector<std::string> calls;

    std::int32_t StartPump(std::uint32_t c, std::uint32_t d, std::uint32_t n) override {
        calls.push_back("StartPump " + std::to_string(n));
        return TVM30::StartPump(c, d, n);
    }
    std::int32_t StopPump(std::uint32_t c, std::uint32_t d, std::uint8_t flag) override {
        calls.push_back("StopPump " + std::to_string(flag));
        return TVM30::StopPump(c, d, flag);
    }
    void StopFill(std::uint32_t c, std::uint32_t d, std::uint32_t r, std::uint8_t flag) override {
        calls.push_back("StopFill");
        TVM30::StopFill(c, d, r, flag);
    }
    void SetVolumeLimit(std::uint32_t c, std::uint32_t d, std::uint32_t n, std::uint32_t r,
                        double limit) override {
        calls.push_back("SetVolumeLimit " + std::to_string(r) + " " + std::to_string(limit));
        TVM30::SetVolumeLimit(c, d, n, r, limit);
    }
    double GetDispensedData(std::uint32_t c, std::uint32_t d, double& amount) override {
        calls.push_back("GetDispensedData");
        return TVM30::GetDispensedData(c, d, amount);
    }
    std::int32_t ReadParameter(std::uint32_t c, std::uint32_t a, std::int32_t cell) override {
        calls.push_back("ReadParameter " + std::to_string(cell));
        return TVM30::ReadParameter(c, a, cell);
    }
    void PollDispenserStatus(std::uint8_t c, std::uint8_t d, std::uint8_t count,
                             StatusRecord& record) override {
        calls.push_back("PollDispenserStatus " + std::to_string(count));
        TVM30::PollDispenserStatus(c, d, count, record);
    }
    void PollDispenserStatusEx(std::uint8_t c, std::uint8_t d, std::uint8_t count,
                               StatusRecordEx& record) override {
        calls.push_back("PollDispenserStatusEx " + std::to_string(count));
        TVM30::PollDispenserStatusEx(c, d, count, record);
    }
};

struct TableCase {
    const char* name;
    std::uint8_t mode;
    std::function<void(SpyDriver&)> operation;
    std::vector<std::string> calls;
};

void PrintTo(const TableCase& c, std::ostream* os) {
    *os << c.name;
}

class OperationTableTest : public ::testing::TestWithParam<TableCase> {};

TEST_P(OperationTableTest, InnerCallsGoThroughTheTable) {
    const TableCase& c = GetParam();
    test::RecordingLink link;
    SpyDriver driver(0, &link, "");
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = c.mode;
        s.NozzlePrice[2] = 25.0;
    });
    // Idle to status requests, mode c.mode to cell reads, acknowledgement to the rest.
    const std::uint8_t mode = c.mode;
    link.responder = [mode](const Bytes& frame) {
        const Bytes data = test::DataOf(frame);
        if (data[1] == 'D') {
            return test::DataReply(
                {data[0], 'D', ' ', '0', '0', '0', '.', '0', '0', '0', '0', '0', '0', '0'});
        }
        if (data[1] == 'X') {
            return test::DataReply({data[0], 'X', '0',
                                    static_cast<std::uint8_t>(0x30 + (mode >> 4)),
                                    static_cast<std::uint8_t>(0x30 + (mode & 0x0F)), '0', '0'});
        }
        if (data[1] == 'U') {
            return test::DataReply(
                {data[0], 'U', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'});
        }
        return Bytes{'A'};
    };
    c.operation(driver);
    EXPECT_EQ(driver.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Delegations, OperationTableTest,
    ::testing::Values(
        TableCase{
            "start_fill", 0x31, [](SpyDriver& d) { d.StartFill(1, 1, 2, 0); }, {"StartPump 2"}},
        TableCase{"flagged_mode0_start_fill",
                  '0',
                  [](SpyDriver& d) { d.StartFill(1, 1, 2, 1); },
                  {"StopPump 1", "PollDispenserStatusEx 1", "ReadParameter 148",
                   "PollDispenserStatus 1"}},
        TableCase{"stop_request",
                  0x31,
                  [](SpyDriver& d) { d.StopFillOnRequest(1, 1, 0, 7); },
                  {"StopPump 7"}},
        TableCase{"stop_fill",
                  0x31,
                  [](SpyDriver& d) { d.StopFill(1, 1, 0, 0); },
                  {"StopFill", "StopPump 1"}},
        // The reserved value reaches the litre dose unchanged.
        TableCase{"money_in_litres",
                  0x31,
                  [](SpyDriver& d) { d.SetMoneyLimit(1, 1, 2, 77, 500); },
                  {"SetVolumeLimit 77 20.000000"}},
        TableCase{"final_data",
                  0x31,
                  [](SpyDriver& d) {
                      double volume = 0;
                      double amount = 0;
                      d.GetFinalDispensedData(1, 1, volume, amount);
                  },
                  {"GetDispensedData"}},
        TableCase{"status_code",
                  0x31,
                  [](SpyDriver& d) { d.GetStatusCode(1, 1); },
                  {"PollDispenserStatus 0"}},
        // Status '6' stops the pump; an ended fill with nothing dispensed calls StopFill.
        TableCase{"poll_stops",
                  0x31,
                  [](SpyDriver& d) {
                      test::RecordingLink& link = *static_cast<test::RecordingLink*>(d.HostLink);
                      link.QueueReply(test::DataReply(
                          {0x01, 'D', '6', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'}));
                      StatusRecord record;
                      d.PollDispenserStatus(1, 1, 1, record);
                  },
                  {"PollDispenserStatus 1", "StopPump 1", "StopFill", "StopPump 1"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fuel
