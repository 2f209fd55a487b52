// Dose limits in litres and in money: the stored limits, the digit fields on the line, the
// second send of the direct-dose option and the money limit turned into litres.
#include <gtest/gtest.h>

#include "tests/DriverFixture.h"

namespace fuel {
namespace {

using test::Bytes;
using test::DriverTest;
using test::GivenDispenser;

constexpr char kCannotSetLitres[] = "Невозможно установить предел по литрам";
constexpr char kCannotSetMoney[] = "Невозможно установить предел по сумме";

struct LimitCase {
    const char* name;
    std::uint8_t mode;
    std::uint8_t decimals;  // VolumeDecimals or MoneyDecimals, as the case needs
    bool wDoza;
    double limit;
    std::vector<Bytes> sent;  // dispenser 2, nozzle 3: code 4
};

void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}

class VolumeLimitTest : public DriverTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(VolumeLimitTest, DigitsOnTheLine) {
    const LimitCase& c = GetParam();
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
        s.DispenserMode = c.mode;
        s.VolumeDecimals = c.decimals;
        s.MoneyDecimals = 7;  // must not matter
    });
    driver.WDoza = c.wDoza;
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    driver.SetVolumeLimit(1, 2, 3, 0, c.limit);
    EXPECT_EQ(Sent(), c.sent);
    for (const auto& s : link.sent) {
        EXPECT_EQ(s.replyLength, 1);
    }
    EXPECT_EQ(driver.Tables().VolumeLimit[1][2], c.limit);
    EXPECT_EQ(driver.Tables().MoneyLimit[1][2], 0.0);
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][2], c.sent.empty() ? 1 : 3);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, VolumeLimitTest,
    ::testing::Values(
        LimitCase{"litres_12_34", 0x31, 2, false, 12.34, {{0x04, 'd', '0', '1', '2', '3', '4'}}},
        LimitCase{"mode_40_three_decimals",
                  0x40,
                  3,
                  false,
                  12.34,
                  {{0x04, 'd', '1', '2', '3', '4', '0'}}},
        LimitCase{
            "mode_47_no_decimals", 0x47, 0, false, 12.34, {{0x04, 'd', '0', '0', '0', '1', '2'}}},
        LimitCase{"mode_48_ignores_decimals",
                  0x48,
                  3,
                  false,
                  12.34,
                  {{0x04, 'd', '0', '1', '2', '3', '4'}}},
        LimitCase{"mode_3f_ignores_decimals",
                  0x3F,
                  3,
                  false,
                  12.34,
                  {{0x04, 'd', '0', '1', '2', '3', '4'}}},
        // Only five digits fit: the higher ones are dropped.
        LimitCase{"thousand_litres_all_zero",
                  0x31,
                  2,
                  false,
                  1000.00,
                  {{0x04, 'd', '0', '0', '0', '0', '0'}}},
        LimitCase{"largest_field", 0x31, 2, false, 999.99, {{0x04, 'd', '9', '9', '9', '9', '9'}}},
        LimitCase{"zero", 0x31, 2, false, 0.0, {{0x04, 'd', '0', '0', '0', '0', '0'}}},
        // Halves go to the even neighbour.
        LimitCase{
            "half_down_to_even", 0x31, 2, false, 0.125, {{0x04, 'd', '0', '0', '0', '1', '2'}}},
        LimitCase{"half_up_to_even", 0x31, 2, false, 0.375, {{0x04, 'd', '0', '0', '0', '3', '8'}}},
        // The second send of the direct dose is always in hundredths.
        LimitCase{"wdoza_twice",
                  0x31,
                  2,
                  true,
                  12.34,
                  {{0x04, 'd', '0', '1', '2', '3', '4'}, {0x04, 'd', '0', '1', '2', '3', '4'}}},
        LimitCase{"wdoza_mode_40_thousandths_then_hundredths",
                  0x40,
                  3,
                  true,
                  12.34,
                  {{0x04, 'd', '1', '2', '3', '4', '0'}, {0x04, 'd', '0', '1', '2', '3', '4'}}},
        // Mode '0' keeps the limit for its own status rules and sends nothing.
        LimitCase{"mode0_nothing_sent", '0', 2, true, 12.34, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, VolumeLimitFailureRaisesWithTheLimitStoredAndTheNozzleKept) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.QueueSilence();
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.SetVolumeLimit(1, 1, 4, 0, 12.34); }, kCannotSetLitres));
    EXPECT_EQ(driver.Tables().VolumeLimit[1][1], 12.34);
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][1], 1);
    EXPECT_EQ(link.sent.size(), 1u);
}

TEST_F(DriverTest, VolumeLimitSecondSendFailureRaisesAfterTheNozzleIsStored) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    driver.WDoza = true;
    link.QueueAck();
    link.QueueReply({'B'});
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.SetVolumeLimit(1, 1, 4, 0, 12.34); }, kCannotSetLitres));
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][1], 4);
    EXPECT_EQ(link.sent.size(), 2u);
}

TEST_F(DriverTest, VolumeLimitOutsideThe32BitRangeRaisesBeforeSending) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    EXPECT_THROW(driver.SetVolumeLimit(1, 1, 1, 0, 3.0e7), ERangeError);  // 3e9 hundredths
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = 0x47;
        s.VolumeDecimals = 9;
    });
    EXPECT_THROW(driver.SetVolumeLimit(1, 1, 1, 0, 3.0), ERangeError);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DriverTest, NegativeVolumeLimitIsStoredButNeverSent) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.SetVolumeLimit(1, 1, 2, 0, -1.0); }, kCannotSetLitres));
    EXPECT_EQ(driver.Tables().VolumeLimit[1][1], -1.0);
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][1], 1);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DriverTest, VolumeLimitOutOfRange) {
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    EXPECT_THROW(driver.SetVolumeLimit(33, 1, 1, 0, 1.0), ERangeError);
    EXPECT_THROW(driver.SetVolumeLimit(1, 0, 1, 0, 1.0), ERangeError);
    EXPECT_TRUE(link.sent.empty());
}

// ---- Money.

class MoneyLimitTest : public DriverTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(MoneyLimitTest, DigitsOnTheLine) {
    const LimitCase& c = GetParam();
    driver.StartInLiter = false;
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
        s.DispenserMode = c.mode;
        s.MoneyDecimals = c.decimals;
        s.VolumeDecimals = 7;  // must not matter
    });
    driver.WDoza = c.wDoza;
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    driver.SetMoneyLimit(1, 2, 3, 0, c.limit);
    EXPECT_EQ(Sent(), c.sent);
    EXPECT_EQ(driver.Tables().MoneyLimit[1][2], c.limit);
    EXPECT_EQ(driver.Tables().VolumeLimit[1][2], 0.0);
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][2], 3);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, MoneyLimitTest,
    ::testing::Values(
        LimitCase{"money_500", 0x31, 2, false, 500.0, {{0x04, 'e', '0', '5', '0', '0', '0', '0'}}},
        LimitCase{"mode_41_three_decimals",
                  0x41,
                  3,
                  false,
                  12.5,
                  {{0x04, 'e', '0', '1', '2', '5', '0', '0'}}},
        LimitCase{"mode_41_one_decimal",
                  0x41,
                  1,
                  false,
                  12.5,
                  {{0x04, 'e', '0', '0', '0', '1', '2', '5'}}},
        // Only six digits fit.
        LimitCase{"ten_thousand_all_zero",
                  0x31,
                  2,
                  false,
                  10000.0,
                  {{0x04, 'e', '0', '0', '0', '0', '0', '0'}}},
        LimitCase{
            "half_to_even", 0x31, 2, false, 0.125, {{0x04, 'e', '0', '0', '0', '0', '1', '2'}}},
        LimitCase{"wdoza_mode_40_thousandths_then_hundredths",
                  0x40,
                  3,
                  true,
                  12.5,
                  {{0x04, 'e', '0', '1', '2', '5', '0', '0'},
                   {0x04, 'e', '0', '0', '1', '2', '5', '0'}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, MoneyLimitInLitresWhenStartingInLitres) {
    ASSERT_TRUE(driver.StartInLiter);  // the default of flags 0
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
        s.DispenserMode = 0x31;
        s.NozzlePrice[3] = 25.0;
    });
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    driver.SetMoneyLimit(1, 2, 3, 0, 500.0);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x04, 'd', '0', '2', '0', '0', '0'}}));
    EXPECT_EQ(driver.Tables().MoneyLimit[1][2], 500.0);
    EXPECT_EQ(driver.Tables().VolumeLimit[1][2], 20.0);
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][2], 3);
}

TEST_F(DriverTest, MoneyLimitInModeZeroStoresBothLimitsAndSendsNothing) {
    driver.StartInLiter = false;
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
        s.DispenserMode = '0';
        s.NozzlePrice[1] = 40.0;
    });
    driver.SetMoneyLimit(1, 2, 1, 0, 500.0);
    EXPECT_EQ(driver.Tables().MoneyLimit[1][2], 500.0);
    EXPECT_EQ(driver.Tables().VolumeLimit[1][2], 12.5);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DriverTest, MoneyLimitAtPriceZeroRaisesInsteadOfAnEndlessDose) {
    for (const std::uint8_t mode : {std::uint8_t{0x31}, std::uint8_t{'0'}}) {
        GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.DispenserMode = mode; });
        link.responder = [](const Bytes&) { return Bytes{'A'}; };
        EXPECT_TRUE(
            test::RaisesSerialIO([&] { driver.SetMoneyLimit(1, 2, 1, 0, 500.0); }, kCannotSetMoney))
            << "mode " << int{mode};
        EXPECT_EQ(driver.Tables().MoneyLimit[1][2], 500.0);
        EXPECT_EQ(driver.Tables().VolumeLimit[1][2], 0.0);
        EXPECT_TRUE(link.sent.empty());
    }
}

TEST_F(DriverTest, MoneyLimitFailureRaisesWithTheLimitStored) {
    driver.StartInLiter = false;
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.QueueSilence();
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.SetMoneyLimit(1, 1, 2, 0, 500.0); }, kCannotSetMoney));
    EXPECT_EQ(driver.Tables().MoneyLimit[1][1], 500.0);
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][1], 1);
}

TEST_F(DriverTest, NegativeMoneyLimitIsStoredButNeverSent) {
    driver.StartInLiter = false;
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.SetMoneyLimit(1, 1, 2, 0, -5.0); }, kCannotSetMoney));
    EXPECT_EQ(driver.Tables().MoneyLimit[1][1], -5.0);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DriverTest, MoneyLimitOutsideThe32BitRangeRaisesBeforeSending) {
    driver.StartInLiter = false;
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    EXPECT_THROW(driver.SetMoneyLimit(1, 1, 1, 0, 3.0e7), ERangeError);
    EXPECT_TRUE(link.sent.empty());
}

}  // namespace
}  // namespace fuel
