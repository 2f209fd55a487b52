// The volume and amount of a fill with their reconciliation, the volume totaliser, and the
// unconditional stop.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "tests/DriverFixture.h"

namespace fuel {
namespace {

using test::Bytes;
using test::DataReply;
using test::DriverTest;
using test::GivenDispenser;

constexpr char kCannotPollData[] = "Невозможно выполнить опрос данных отлива";

// A reply of the given command for nozzle code 4: byte 4 the mark, then the characters from
// byte 5 on, padded with '9' to the reply's length so that a field read too far shows.
Bytes ReplyOf(std::uint8_t letter, std::size_t length, std::uint8_t mark,
              const std::string& from5) {
    Bytes data(length - 4, '9');
    data[0] = 0x04;
    data[1] = letter;
    data[2] = mark;
    for (std::size_t i = 0; i < from5.size(); ++i) {
        data.at(3 + i) = static_cast<std::uint8_t>(from5[i]);
    }
    return DataReply(data);
}
Bytes UReply(std::uint8_t mark, const std::string& from5) {
    return ReplyOf('U', 18, mark, from5);
}
Bytes SReply(std::uint8_t mark, const std::string& from5) {
    return ReplyOf('S', 20, mark, from5);
}

struct DispensedCase {
    const char* name;
    std::uint8_t mode;
    std::uint8_t moneyDecimals;
    double volume, price, volumeLimit, moneyLimit;
    Bytes reply;
    double resultVolume;
    std::optional<double> amount;  // nullopt: no valid amount to judge
    std::uint8_t linkAfter;
};

void PrintTo(const DispensedCase& c, std::ostream* os) {
    *os << c.name;
}

class DispensedDataTest : public DriverTest, public ::testing::WithParamInterface<DispensedCase> {
  protected:
    // Channel 1, dispenser 2, current nozzle 3 (code 4).
    void SetUpFill(const DispensedCase& c) {
        GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
            s.DispenserMode = c.mode;
            s.MoneyDecimals = c.moneyDecimals;
            s.VolumeDecimals = 5;  // must not matter for amounts
            s.CurrentNozzle = 3;
            s.NozzleVolume[3] = c.volume;
            s.NozzlePrice[3] = c.price;
            s.VolumeLimit = c.volumeLimit;
            s.MoneyLimit = c.moneyLimit;
        });
    }
};

TEST_P(DispensedDataTest, VolumeAndReconciledAmount) {
    const DispensedCase& c = GetParam();
    SetUpFill(c);
    link.QueueReply(c.reply);
    double amount = -1;
    const double volume = driver.GetDispensedData(1, 2, amount);
    EXPECT_DOUBLE_EQ(volume, c.resultVolume);
    if (c.amount) {
        EXPECT_DOUBLE_EQ(amount, *c.amount);
    }
    EXPECT_EQ(driver.GetLinkState(1), c.linkAfter);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x04, 'U'}}));
    EXPECT_EQ(link.sent[0].replyLength, 18);
    // Reading the fill changes no table but the link state.
    EXPECT_EQ(driver.Tables().NozzleVolume[1][2][3], c.volume);
    EXPECT_EQ(driver.Tables().VolumeLimit[1][2], c.volumeLimit);
    EXPECT_EQ(driver.Tables().MoneyLimit[1][2], c.moneyLimit);
}

INSTANTIATE_TEST_SUITE_P(
    Fills, DispensedDataTest,
    ::testing::Values(
        // 10.00 litres at 45.67: 456.70 computed.
        DispensedCase{"reported_as_computed", 0x31, 3, 10.0, 45.67, 0, 0, UReply('0', "0045670"),
                      10.0, 456.70, 1},
        DispensedCase{"reported_off_without_limit_gives_computed", 0x31, 2, 10.0, 45.67, 0, 0,
                      UReply('0', "0046000"), 10.0, 456.70, 1},
        DispensedCase{"volume_over_its_limit_follows_the_amount", 0x31, 2, 10.0, 45.67, 9.5, 0,
                      UReply('0', "0046000"), 10.07, 460.00, 1},
        DispensedCase{"volume_under_its_limit_keeps_computed", 0x31, 2, 10.0, 45.67, 10.5, 0,
                      UReply('0', "0046000"), 10.0, 456.70, 1},
        // 10.95 at 45.67 is 500.09; 499.80 lies within 0.4567 of it and of the money limit.
        DispensedCase{"money_limit_snap", 0x31, 2, 10.95, 45.67, 0, 500.0, UReply('0', "0049980"),
                      10.95, 500.00, 1},
        DispensedCase{"money_limit_just_within", 0x31, 2, 10.0, 45.67, 0, 457.1,
                      UReply('0', "0045670"), 10.0, 457.1, 1},
        DispensedCase{"money_limit_too_far", 0x31, 2, 10.0, 45.67, 0, 457.5, UReply('0', "0045670"),
                      10.0, 456.70, 1},
        DispensedCase{"within_tolerance_stands", 0x31, 2, 10.0, 45.67, 0, 0, UReply('0', "0045690"),
                      10.0, 456.90, 1},
        DispensedCase{"mode_42_money_decimals", 0x42, 3, 10.0, 45.67, 0, 0, UReply('0', "0456700"),
                      10.0, 456.70, 1},
        DispensedCase{"mode_40_whole_money", 0x40, 0, 10.0, 45.67, 0, 0, UReply('0', "0000457"),
                      10.0, 457.0, 1},
        DispensedCase{"marked_point", 0x31, 2, 10.0, 45.67, 0, 0, UReply(0xF2, "xx000456.70"), 10.0,
                      456.70, 1},
        DispensedCase{"marked_comma_ignores_decimals", 0x42, 0, 10.0, 45.67, 0, 0,
                      UReply(0xF2, "xx0456,7000"), 10.0, 456.70, 1},
        // Without a separator the field is the whole number of its digits.
        DispensedCase{"marked_without_separator", 0x31, 2, 10.0, 45.67, 9.5, 0,
                      UReply(0xF2, "xx000045670"), 1000.0, 45670.0, 1},
        // A garbled field marks the link and skips the reconciliation.
        DispensedCase{"space_in_digits", 0x31, 2, 10.0, 45.67, 9.5, 0, UReply('0', "00 6000"), 10.0,
                      std::nullopt, 3},
        DispensedCase{"point_in_digits", 0x31, 2, 10.0, 45.67, 9.5, 0, UReply('0', "0460.00"), 10.0,
                      std::nullopt, 3},
        DispensedCase{"letter_in_marked", 0x31, 2, 10.0, 45.67, 9.5, 0, UReply(0xF2, "xx000x60.00"),
                      10.0, std::nullopt, 3}),
    [](const auto& info) { return std::string(info.param.name); });

class DispensedDataQuietTest : public DriverTest {
  protected:
    void SetUp() override {
        GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
            s.DispenserMode = 0x31;
            s.CurrentNozzle = 3;
            s.NozzleVolume[3] = 10.0;
            s.NozzlePrice[3] = 45.67;
            s.MoneyLimit = 456.5;  // within the tolerance of the computed 456.70
        });
    }
};

TEST_F(DispensedDataQuietTest, FailedExchangeAnswersFromTheTablesReconciled) {
    link.QueueSilence();
    double amount = -1;
    EXPECT_DOUBLE_EQ(driver.GetDispensedData(1, 2, amount), 10.0);
    EXPECT_DOUBLE_EQ(amount, 456.5);
    driver.SetLinkState(1, 1);  // the silence left the channel marked bad
    link.QueueRaise();
    EXPECT_DOUBLE_EQ(driver.GetDispensedData(1, 2, amount), 10.0);
    EXPECT_DOUBLE_EQ(amount, 456.5);
}

TEST_F(DispensedDataQuietTest, ModeZeroOrABadLinkAsksNothingAndSkipsTheReconciliation) {
    double amount = -1;
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.DispenserMode = '0'; });
    EXPECT_DOUBLE_EQ(driver.GetDispensedData(1, 2, amount), 10.0);
    EXPECT_DOUBLE_EQ(amount, 456.70);

    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    driver.SetLinkState(1, 3);
    amount = -1;
    EXPECT_DOUBLE_EQ(driver.GetDispensedData(1, 2, amount), 10.0);
    EXPECT_DOUBLE_EQ(amount, 456.70);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DispensedDataQuietTest, NozzleOutOfRange) {
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.CurrentNozzle = 7; });
    double amount = 0;
    EXPECT_THROW(driver.GetDispensedData(1, 2, amount), ERangeError);
    EXPECT_THROW(driver.GetDispensedData(33, 2, amount), ERangeError);
    EXPECT_TRUE(link.sent.empty());
}

// With no price the reported amount says nothing about the volume.
TEST_F(DriverTest, DispensedDataAtPriceZeroStaysFinite) {
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
        s.DispenserMode = 0x31;
        s.CurrentNozzle = 3;
        s.NozzleVolume[3] = 10.0;
        s.VolumeLimit = 5.0;
    });
    link.QueueReply(UReply('0', "0046000"));
    double amount = -1;
    const double volume = driver.GetDispensedData(1, 2, amount);
    EXPECT_TRUE(std::isfinite(volume)) << volume;
    EXPECT_TRUE(std::isfinite(amount)) << amount;
}

TEST_F(DriverTest, FinalDispensedDataForgetsTheLimitsExceptInModeZero) {
    for (const std::uint8_t mode : {std::uint8_t{0x31}, std::uint8_t{'0'}}) {
        GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
            s.DispenserMode = mode;
            s.CurrentNozzle = 3;
            s.NozzleVolume[3] = 10.0;
            s.NozzlePrice[3] = 45.67;
            s.VolumeLimit = 9.5;
            s.MoneyLimit = 600.0;
        });
        link.QueueReply(UReply('0', "0046000"));
        double volume = -1;
        double amount = -1;
        driver.GetFinalDispensedData(1, 2, volume, amount);
        const bool modeZero = mode == '0';
        EXPECT_DOUBLE_EQ(volume, modeZero ? 10.0 : 10.07) << int{mode};
        EXPECT_DOUBLE_EQ(amount, modeZero ? 456.70 : 460.0) << int{mode};
        EXPECT_EQ(driver.Tables().VolumeLimit[1][2], modeZero ? 9.5 : 0.0) << int{mode};
        EXPECT_EQ(driver.Tables().MoneyLimit[1][2], modeZero ? 600.0 : 0.0) << int{mode};
    }
}

// ---- The totaliser.

struct TotalCase {
    const char* name;
    std::uint8_t mode;
    std::uint8_t volumeDecimals;
    Bytes reply;
    std::optional<double> total;
    std::uint8_t linkAfter;
};

void PrintTo(const TotalCase& c, std::ostream* os) {
    *os << c.name;
}

class TotalizerTest : public DriverTest, public ::testing::WithParamInterface<TotalCase> {};

TEST_P(TotalizerTest, VolumeTotal) {
    const TotalCase& c = GetParam();
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
        s.DispenserMode = c.mode;
        s.VolumeDecimals = c.volumeDecimals;
        s.MoneyDecimals = 5;  // must not matter
    });
    link.QueueReply(c.reply);
    double volumeTotal = -1;
    double moneyTotal = -1;
    driver.GetTotalizer(1, 2, 3, volumeTotal, moneyTotal, 0, 0);
    if (c.total) {
        EXPECT_DOUBLE_EQ(volumeTotal, *c.total);
    }
    EXPECT_EQ(moneyTotal, 0.0);
    EXPECT_EQ(driver.GetLinkState(1), c.linkAfter);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x04, 'S'}}));
    EXPECT_EQ(link.sent[0].replyLength, 20);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, TotalizerTest,
    ::testing::Values(
        TotalCase{"eight_digits", 0x31, 3, SReply('0', "00123456"), 1234.56, 1},
        TotalCase{"mode_40_volume_decimals", 0x40, 3, SReply('0', "00123456"), 123.456, 1},
        // The eight digits are not checked: ':' counts ten.
        TotalCase{"plain_non_digit_is_corrupt", 0x31, 2, SReply('0', "000001:5"), std::nullopt, 3},
        TotalCase{"marked", 0x31, 2, SReply(0xF2, "xx001234.56"), 1234.56, 1},
        TotalCase{"marked_without_separator", 0x31, 2, SReply(0xF2, "xx000123456"), 123456.0, 1},
        TotalCase{"marked_letter", 0x31, 2, SReply(0xF2, "xx0012x4.56"), std::nullopt, 3},
        // Mode '0' reads nine characters from byte 5, whatever byte 4 holds.
        TotalCase{"mode0", '0', 2, SReply(0xF2, "001234.56"), 1234.56, 1},
        TotalCase{"mode0_plain_mark", '0', 2, SReply('0', "01234.567"), 1234.567, 1},
        TotalCase{"mode0_letter", '0', 2, SReply('0', "0012x4.56"), std::nullopt, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, TotalizerFailureRaisesWithBothTotalsZero) {
    double volumeTotal = -1;
    double moneyTotal = -1;
    link.QueueSilence();
    EXPECT_TRUE(test::RaisesSerialIO(
        [&] { driver.GetTotalizer(1, 2, 3, volumeTotal, moneyTotal, 0, 0); }, kCannotPollData));
    EXPECT_EQ(volumeTotal, 0.0);
    EXPECT_EQ(moneyTotal, 0.0);

    volumeTotal = moneyTotal = -1;
    link.forcedState = 3;
    link.QueueReply(SReply('0', "00123456"));
    driver.GetTotalizer(1, 2, 3, volumeTotal, moneyTotal, 0, 0);
    EXPECT_EQ(volumeTotal, 0.0);
    EXPECT_EQ(moneyTotal, 0.0);
}

// ---- The unconditional stop.

TEST_F(DriverTest, StopFillAlwaysStopsTheCurrentNozzle) {
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
        s.DispenserMode = 0x31;
        s.CurrentNozzle = 3;
    });
    link.QueueAck();
    driver.StopFill(1, 2, 0, 0);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x04, 's'}}));
    link.QueueSilence();
    EXPECT_TRUE(test::Raises([&] { driver.StopFill(1, 2, 0, 0); }, "ESerialIO", "Can't STOP POMP"));
}

TEST_F(DriverTest, StopFillInModeZeroEndsOnlyNozzle1sRunningWord) {
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) {
        s.DispenserMode = '0';
        s.NozzleStatus[1] = 217;
        s.NozzleStatus[2] = 217;
    });
    driver.StopFill(1, 2, 0, 1);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][2][1], 209);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][2][2], 217);
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.NozzleStatus[1] = 218; });
    driver.StopFill(1, 2, 0, 1);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][2][1], 218);
    EXPECT_TRUE(link.sent.empty());
}

}  // namespace
}  // namespace fuel
