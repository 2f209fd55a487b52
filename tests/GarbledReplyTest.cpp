// Replies that pass the reply check (their checksum is right) but carry odd bytes anywhere in
// their data: every byte position of every data reply, with values that trip number readers
// (blanks, separators, a digit where the separator was, letters, the layout mark, the top
// bit). No operation may raise, crash or hand the host a number that is not finite; the link
// is either good or marked bad.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "tests/DriverFixture.h"

namespace fuel {
namespace {

using test::Bytes;
using test::GivenDispenser;

struct ReplyCase {
    const char* name;
    Bytes goodData;  // between 'H' and the checksum, nozzle code 1
    // Runs the operation on channel 1, dispenser 1, nozzle 1 and returns the numbers the host
    // gets.
    std::function<std::vector<double>(TVM30&)> operation;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class GarbledReplyTest : public ::testing::TestWithParam<ReplyCase> {};

constexpr std::uint8_t kOddBytes[] = {0x00, ' ',  ',',  '.',  '7',  ':', '?',
                                      'x',  0x7F, 0x80, 0xB2, 0xF2, 0xFF};

TEST_P(GarbledReplyTest, EveryByteEveryOddValue) {
    const ReplyCase& c = GetParam();
    for (const std::uint8_t mode : {std::uint8_t{0x00}, std::uint8_t{'0'}, std::uint8_t{0x42}}) {
        for (std::size_t at = 2; at < c.goodData.size(); ++at) {
            for (const std::uint8_t odd : kOddBytes) {
                test::RecordingLink link;
                TVM30 driver(0, &link, "");
                GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
                    s.DispenserMode = mode;
                    s.VolumeDecimals = 3;
                    s.MoneyDecimals = 2;
                    s.NozzlePrice[1] = 45.67;
                    s.NozzleVolume[1] = 10.0;
                    s.VolumeLimit = 9.5;
                    s.MoneyLimit = 456.0;
                });
                Bytes data = c.goodData;
                data[at] = odd;
                const Bytes reply = test::DataReply(data);
                // The garbled reply first, then the good one; stops are acknowledged.
                link.responder = [&, served = 0](const Bytes& frame) mutable -> Bytes {
                    if (test::DataOf(frame).size() == 2 && test::DataOf(frame)[1] == 's') {
                        return {'A'};
                    }
                    if (test::DataOf(frame)[1] == 'c') {
                        return {'A'};
                    }
                    return served++ == 0 ? reply : test::DataReply(c.goodData);
                };
                const std::string where = "mode " + std::to_string(mode) + ", byte " +
                                          std::to_string(at + 2) + " = " + std::to_string(odd);
                std::vector<double> numbers;
                EXPECT_NO_THROW(numbers = c.operation(driver)) << where;
                for (const double number : numbers) {
                    EXPECT_TRUE(std::isfinite(number)) << where << ": " << number;
                }
                const std::uint8_t state = driver.GetLinkState(1);
                EXPECT_TRUE(state == 1 || state == 3) << where << ": " << int{state};
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, GarbledReplyTest,
    ::testing::Values(
        ReplyCase{"status",
                  {0x01, 'D', '2', '0', '1', '2', '.', '3', '4', '0', '0', '0', '0', '0'},
                  [](TVM30& d) {
                      StatusRecord record;
                      d.PollDispenserStatus(1, 1, 1, record);
                      return std::vector<double>{d.Tables().NozzleVolume[1][1][1]};
                  }},
        ReplyCase{"fill_data",
                  {0x01, 'U', '0', '0', '0', '4', '5', '6', '7', '0', '9', '9', '9', '9'},
                  [](TVM30& d) {
                      double amount = 0;
                      const double volume = d.GetDispensedData(1, 1, amount);
                      return std::vector<double>{volume, amount};
                  }},
        ReplyCase{"totaliser",
                  {0x01, 'S', '0', '0', '0', '1', '2', '3', '4', '.', '5', '6', '9', '9', '9', '9'},
                  [](TVM30& d) {
                      double volume = 0;
                      double money = 0;
                      d.GetTotalizer(1, 1, 1, volume, money, 0, 0);
                      return std::vector<double>{volume, money};
                  }},
        ReplyCase{"price_read_back",
                  {0x01, 'C', '0', '4', '5', '6', '7'},
                  [](TVM30& d) {
                      d.SetPrice(1, 1, 1, 0, 0, 45.67);
                      return std::vector<double>{};
                  }},
        ReplyCase{"cell",
                  {0x01, 'X', '0', '3', '1', '0', '0'},
                  [](TVM30& d) {
                      const std::int32_t value = d.ReadParameter(1, 1, 148);
                      EXPECT_TRUE(value >= 0 && value <= 255) << value;
                      return std::vector<double>{};
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fuel
