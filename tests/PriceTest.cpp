// Setting a nozzle's unit price, verified by reading it back, at most three sends.
#include <gtest/gtest.h>

#include "tests/DriverFixture.h"

namespace fuel {
namespace {

using test::Bytes;
using test::DataReply;
using test::DriverTest;
using test::GivenDispenser;
using test::ScriptedReply;

constexpr char kCannotSetPrice[] = "Невозможно установить цену";

// The controller's answer to 'C' for nozzle code 4: reply bytes 5..8 carry the price.
Bytes PriceReply(std::uint8_t b5, std::uint8_t b6, std::uint8_t b7, std::uint8_t b8) {
    return DataReply({0x04, 'C', '0', b5, b6, b7, b8});
}

const Bytes kSet4567{0x04, 'c', '4', '5', '6', '7'};
const Bytes kAskPrice{0x04, 'C'};

struct PriceCase {
    const char* name;
    double price;
    Bytes setRequest;
    std::vector<Bytes> readBacks;  // served in turn; an empty entry: silence
    int sends;                     // 'c' commands expected
};

void PrintTo(const PriceCase& c, std::ostream* os) {
    *os << c.name;
}

class SetPriceTest : public DriverTest, public ::testing::WithParamInterface<PriceCase> {};

TEST_P(SetPriceTest, SendsUntilTheReadBackMatches) {
    const PriceCase& c = GetParam();
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    for (const Bytes& readBack : c.readBacks) {
        link.QueueAck();
        if (readBack.empty()) {
            link.QueueSilence();
        } else {
            link.QueueReply(readBack);
        }
    }
    driver.SetPrice(1, 2, 3, 11, 22, c.price);

    std::vector<Bytes> expected;
    for (int i = 0; i < c.sends; ++i) {
        expected.push_back(c.setRequest);
        expected.push_back(kAskPrice);
    }
    EXPECT_EQ(Sent(), expected);
    for (std::size_t i = 0; i < link.sent.size(); ++i) {
        EXPECT_EQ(link.sent[i].replyLength, i % 2 == 0 ? 1 : 11) << "frame " << i;
    }
    EXPECT_EQ(driver.Tables().NozzlePrice[1][2][3], c.price);
    // Whatever the read-back did to the line, the channel is taken as good afterwards.
    EXPECT_EQ(driver.GetLinkState(1), 1);
    EXPECT_EQ(link.pendingReplies(), 2 * (c.readBacks.size() - static_cast<std::size_t>(c.sends)));
}

INSTANTIATE_TEST_SUITE_P(
    ReadBack, SetPriceTest,
    ::testing::Values(
        PriceCase{"match_first", 45.67, kSet4567, {PriceReply('4', '5', '6', '7')}, 1},
        PriceCase{"match_second",
                  45.67,
                  kSet4567,
                  {PriceReply('4', '5', '6', '8'), PriceReply('4', '5', '6', '7'),
                   PriceReply('4', '5', '6', '7')},
                  2},
        PriceCase{"three_mismatches",
                  45.67,
                  kSet4567,
                  {PriceReply('4', '5', '6', '8'), PriceReply('0', '0', '0', '0'),
                   PriceReply('4', '5', '6', '6')},
                  3},
        PriceCase{"read_back_silent_three_times", 45.67, kSet4567, {{}, {}, {}}, 3},
        PriceCase{"read_back_garbled_then_match",
                  45.67,
                  kSet4567,
                  {Bytes{'A', 'H', 0x04, 'C', '0', '4', '5', '6', '7', 0x00, 'E'},
                   PriceReply('4', '5', '6', '7')},
                  2},
        // Read-back bytes are taken as digits without a check: 'A' counts 17, '-' counts -3.
        PriceCase{"non_digit_above", 45.67, kSet4567, {PriceReply('4', '5', '5', 'A')}, 1},
        PriceCase{"non_digit_below", 45.67, kSet4567, {PriceReply('4', '5', '7', '-')}, 1},
        PriceCase{"colon_is_ten",
                  0.10,
                  Bytes{0x04, 'c', '0', '0', '1', '0'},
                  {PriceReply('0', '0', '0', ':')},
                  1},
        PriceCase{"largest",
                  99.99,
                  Bytes{0x04, 'c', '9', '9', '9', '9'},
                  {PriceReply('9', '9', '9', '9')},
                  1},
        PriceCase{
            "zero", 0.0, Bytes{0x04, 'c', '0', '0', '0', '0'}, {PriceReply('0', '0', '0', '0')}, 1},
        // Halves go to the even neighbour, in the command and in the comparison.
        PriceCase{"half_to_even",
                  0.125,
                  Bytes{0x04, 'c', '0', '0', '1', '2'},
                  {PriceReply('0', '0', '1', '2')},
                  1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, PriceSentWhileTheLinkKeepsItsOwnStateIsNotReadBack) {
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.forcedState = 5;
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    driver.SetPrice(1, 2, 3, 0, 0, 45.67);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{kSet4567, kSet4567, kSet4567}));
}

TEST_F(DriverTest, PriceSendFailureRaisesAtOnce) {
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.QueueSilence();
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.SetPrice(1, 2, 3, 0, 0, 45.67); }, kCannotSetPrice));
    EXPECT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(driver.Tables().NozzlePrice[1][2][3], 45.67);

    // A failure on a later send raises as well.
    link.sent.clear();
    link.QueueAck();
    link.QueueReply(PriceReply('0', '0', '0', '0'));
    link.QueueReply({'B'});
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.SetPrice(1, 2, 3, 0, 0, 45.67); }, kCannotSetPrice));
    EXPECT_EQ(Sent(), (std::vector<Bytes>{kSet4567, kAskPrice, kSet4567}));
}

TEST_F(DriverTest, PriceInModeZeroIsOnlyStored) {
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.DispenserMode = '0'; });
    driver.SetPrice(1, 2, 3, 0, 0, 45.67);
    EXPECT_EQ(driver.Tables().NozzlePrice[1][2][3], 45.67);
    EXPECT_TRUE(link.sent.empty());
}

// The four-digit field cannot carry these; sending the low digits would give the controller
// another price while the host is told it was set.
TEST_F(DriverTest, PriceTheFieldCannotCarryIsStoredAndRefused) {
    GivenDispenser(driver, 1, 2, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    for (const double price : {100.0, 123.45, 1.0e6, -0.01, -45.67}) {
        EXPECT_TRUE(
            test::RaisesSerialIO([&] { driver.SetPrice(1, 2, 3, 0, 0, price); }, kCannotSetPrice))
            << price;
        EXPECT_EQ(driver.Tables().NozzlePrice[1][2][3], price);
    }
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DriverTest, PriceNozzleOutOfRangeStoresNothing) {
    EXPECT_THROW(driver.SetPrice(1, 2, 7, 0, 0, 45.67), ERangeError);
    EXPECT_THROW(driver.SetPrice(1, 2, 0, 0, 0, 45.67), ERangeError);
    EXPECT_THROW(driver.SetPrice(33, 2, 1, 0, 0, 45.67), ERangeError);
    EXPECT_TRUE(link.sent.empty());
}

// ---- The read-back on its own.

TEST_F(DriverTest, ReadPriceAnswersZeroInsteadOfRaising) {
    link.QueueReply(PriceReply('4', '5', '6', '7'));
    EXPECT_EQ(driver.ReadPrice(1, 2, 3), 4567);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{kAskPrice}));
    EXPECT_EQ(link.sent[0].replyLength, 11);

    link.QueueSilence();
    EXPECT_EQ(driver.ReadPrice(1, 2, 3), 0);
    link.QueueRaise();
    EXPECT_EQ(driver.ReadPrice(1, 2, 3), 0);
    // Not even a channel out of range escapes.
    EXPECT_EQ(driver.ReadPrice(33, 2, 3), 0);

    link.forcedState = 3;
    link.QueueReply(PriceReply('4', '5', '6', '7'));
    EXPECT_EQ(driver.ReadPrice(1, 2, 3), 0);
}

}  // namespace
}  // namespace fuel
