#include <gtest/gtest.h>

#include "driver/TVM30.h"
#include "testing/RecordingLink.h"

namespace fuel {
namespace {

using test::Bytes;
using test::RecordingLink;

class ExchangeTest : public ::testing::Test {
protected:
    RecordingLink link;
    TVM30 driver{0, &link, ""};

    // Runs one exchange of the given data on channel 1 and returns the result.
    std::int32_t Run(Bytes data, std::uint8_t replyLength, std::uint8_t channel = 1) {
        buffer.fill(0);
        std::copy(data.begin(), data.end(), buffer.begin());
        return driver.Exchange(channel, buffer, static_cast<std::uint8_t>(data.size()),
                               replyLength);
    }
    CommandBuffer buffer{};
};

struct FrameCase {
    Bytes data;
    Bytes frame;
};

class FrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, BytesOnTheLine) {
    Frame frame;
    BuildFrame(frame, GetParam().data);
    EXPECT_EQ(Bytes(frame.bytes.begin(), frame.bytes.begin() + frame.length), GetParam().frame);

    // The same bytes reach the link unchanged through an exchange.
    RecordingLink link;
    TVM30 driver(0, &link, "");
    link.QueueAck();
    CommandBuffer buffer{};
    std::copy(GetParam().data.begin(), GetParam().data.end(), buffer.begin());
    driver.Exchange(1, buffer, static_cast<std::uint8_t>(GetParam().data.size()), 1);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].frame, GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FrameTest,
    ::testing::Values(FrameCase{{0x01, 'u'}, {0x48, 0x01, 0x75, 0x03, 0x45}},  // start
                      FrameCase{{0x01, 's'}, {0x48, 0x01, 0x73, 0x01, 0x45}},  // stop
                      FrameCase{{0x02, 'U'}, {0x48, 0x02, 0x55, 0xE4, 0x45}},  // sum wraps
                      FrameCase{{0x01, 'D'}, {0x48, 0x01, 0x44, 0xD2, 0x45}},  // status
                      FrameCase{{0x03, 'D'}, {0x48, 0x03, 0x44, 0xD4, 0x45}},
                      FrameCase{{0x03, 'X', '9', '4'}, {0x48, 0x03, 0x58, 0x39, 0x34, 0x55, 0x45}},
                      FrameCase{{}, {0x48, 0x8D, 0x45}}));

TEST(BuildFrameTest, TakesAtMost252DataBytes) {
    Frame frame;
    const Bytes longest(252, 0x01);
    BuildFrame(frame, longest);
    EXPECT_EQ(frame.length, 255);
    EXPECT_EQ(frame.bytes[253], static_cast<std::uint8_t>(0x8D + 252));
    EXPECT_EQ(frame.bytes[254], 'E');
    const Bytes tooLong(253, 0x01);
    EXPECT_THROW(BuildFrame(frame, tooLong), ERangeError);
}

struct CheckCase {
    const char* name;
    Bytes reply;
    std::uint8_t received;
    std::uint8_t expected;
    std::int32_t code;  // 0: accepted
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class ReplyCheckTest : public ::testing::TestWithParam<CheckCase> {};

// A good 'U' reply: 'A' 'H' 14 data bytes checksum 'E'.
Bytes GoodReply() {
    return test::DataReply(Bytes{0x02, 'U', '0', '0', '4', '5', '6', '7', '0', '0', '0', '0', '0', '0'});
}

Bytes WithByte(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes.at(at) = value;
    return bytes;
}

TEST_P(ReplyCheckTest, CodeStateAndVerdict) {
    const CheckCase& c = GetParam();
    RecordingLink link;
    TVM30 driver(0, &link, "");
    const bool accepted = driver.ReplyCheck(7, c.reply.data(),
                                            static_cast<std::int32_t>(c.reply.size()) - 1,
                                            c.received, c.expected);
    EXPECT_EQ(accepted, c.code == 0);
    // Exactly one state call, then exactly one code call.
    const std::vector<RecordingLink::Report> expected = {{'S', 7, c.code == 0 ? 1 : 3},
                                                         {'E', 7, c.code}};
    EXPECT_EQ(link.reports, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ReplyCheckTest,
    ::testing::Values(
        CheckCase{"lone_ack_for_ack", {'A'}, 1, 1, 0},
        CheckCase{"lone_ack_for_data", {'A'}, 1, 18, 219},
        CheckCase{"nothing_counted", {'A'}, 0, 18, 0},
        CheckCase{"good_data_reply", GoodReply(), 18, 18, 0},
        CheckCase{"not_A_first", {'B'}, 1, 1, 223},
        CheckCase{"not_A_before_valid_frame", WithByte(GoodReply(), 0, 'a'), 18, 18, 223},
        CheckCase{"not_H_second", WithByte(GoodReply(), 1, 'h'), 18, 18, 223},
        CheckCase{"no_E_last", WithByte(GoodReply(), 17, 'F'), 18, 18, 209},
        // The end is judged before the checksum, which is wrong here too.
        CheckCase{"no_E_and_bad_checksum", WithByte(WithByte(GoodReply(), 17, 'F'), 16, 0),
                  18, 18, 209},
        CheckCase{"data_byte_changed", WithByte(GoodReply(), 9, '8'), 18, 18, 222},
        CheckCase{"checksum_changed", WithByte(GoodReply(), 16, 0x00), 18, 18, 222},
        CheckCase{"shorter_count_judges_prefix", GoodReply(), 17, 18, 209}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplyCheckRangeTest, NeverReadsPastHigh) {
    RecordingLink link;
    TVM30 driver(0, &link, "");
    const Bytes reply = GoodReply();
    // A count that points past the valid bytes is a range error, and no verdict is given.
    EXPECT_THROW(driver.ReplyCheck(1, reply.data(), 10, 18, 18), ERangeError);
    EXPECT_THROW(driver.ReplyCheck(1, reply.data(), -1, 1, 1), ERangeError);
    EXPECT_THROW(driver.ReplyCheck(1, nullptr, 0, 1, 1), ERangeError);
    EXPECT_TRUE(link.reports.empty());
}

TEST_F(ExchangeTest, ReturnsTheLinkResultAndRecordsItsState) {
    link.QueueReply(test::DataReply({0x03, 'X', '0', 0x35, 0x3F, '0', '0'}));
    EXPECT_EQ(Run({0x03, 'X', '9', '4'}, 11), 0);
    EXPECT_EQ(link.sent[0].replyLength, 11);
    EXPECT_EQ(buffer[5], 0x35);  // the reply lands in the command buffer
    EXPECT_EQ(driver.GetLinkState(1), 1);

    link.QueueReply({'A'});  // only the acknowledgement where data was asked for
    EXPECT_EQ(Run({0x03, 'X', '9', '4'}, 11), 219);
    EXPECT_EQ(driver.GetLinkState(1), 3);
}

TEST_F(ExchangeTest, RegistersTheReplyCheckBeforeEverySend) {
    link.QueueAck();
    link.QueueAck();
    Run({0x01, 'u'}, 1, 4);
    Run({0x01, 'u'}, 1, 4);
    EXPECT_EQ(link.validatorRegistrations, 2);
    const ReplyHandler handler = link.validator(4);
    EXPECT_EQ(handler.object, &driver);
}

TEST_F(ExchangeTest, LinkStateTakesTheLowByteOfTheLinksState) {
    link.forcedState = 0x107;
    link.QueueAck();
    EXPECT_EQ(Run({0x01, 'u'}, 1), 0);
    EXPECT_EQ(driver.GetLinkState(1), 7);
}

TEST_F(ExchangeTest, RaisingTransactGivesTheChannelErrorAndKeepsLinkState) {
    driver.SetLinkState(2, 5);
    link.QueueRaise();
    EXPECT_EQ(Run({0x01, 'u'}, 1, 2), RecordingLink::kRaisedCode);
    EXPECT_EQ(driver.GetLinkState(2), 5);
}

TEST_F(ExchangeTest, RangeErrorInsideTheReplyCheckIsCaughtLikeAnyFailure) {
    driver.SetLinkState(1, 1);
    link.SetError(1, 77);
    test::ScriptedReply reply;
    reply.bytes = GoodReply();
    reply.receivedCount = 30;  // beyond the 18 bytes the buffer holds
    link.Queue(reply);
    EXPECT_EQ(Run({0x02, 'U'}, 18), 77);
    EXPECT_EQ(driver.GetLinkState(1), 1);
    EXPECT_TRUE(link.reports.empty());
}

TEST_F(ExchangeTest, SilenceIsAFailure) {
    link.QueueSilence();
    EXPECT_EQ(Run({0x01, 'D'}, 18), RecordingLink::kSilenceCode);
}

TEST_F(ExchangeTest, BadChannelOrSizesRaiseBeforeSending) {
    EXPECT_THROW(Run({0x01, 'u'}, 1, 0), ERangeError);
    EXPECT_THROW(Run({0x01, 'u'}, 1, 33), ERangeError);
    EXPECT_THROW(driver.Exchange(1, buffer, 21, 1), ERangeError);
    EXPECT_THROW(driver.Exchange(1, buffer, 2, 21), ERangeError);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_EQ(link.validatorRegistrations, 0);
}

struct CodeCase {
    bool origAdres;
    int dispenser;
    int nozzle;
    int code;  // -1: range error
};

class NozzleCodeTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(NozzleCodeTest, Address) {
    const CodeCase& c = GetParam();
    RecordingLink link;
    TVM30 driver(0, &link, "");
    driver.OrigAdres = c.origAdres;
    const auto dispenser = static_cast<std::uint8_t>(c.dispenser);
    const auto nozzle = static_cast<std::uint8_t>(c.nozzle);
    if (c.code < 0) {
        EXPECT_THROW(driver.NozzleCode(dispenser, nozzle), ERangeError);
    } else {
        EXPECT_EQ(driver.NozzleCode(dispenser, nozzle), c.code);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, NozzleCodeTest,
    ::testing::Values(
        // Sequential addressing.
        CodeCase{false, 3, 1, 3}, CodeCase{false, 1, 1, 1}, CodeCase{false, 1, 6, 6},
        CodeCase{false, 32, 6, 37}, CodeCase{false, 5, 0, 4}, CodeCase{false, 250, 6, 255},
        CodeCase{false, 251, 6, -1}, CodeCase{false, 32, 255, -1},
        // Interleaved: dispenser 1 gets 1 4 5 8, dispenser 2 gets 2 3 6 7.
        CodeCase{true, 1, 1, 1}, CodeCase{true, 1, 2, 4}, CodeCase{true, 1, 3, 5},
        CodeCase{true, 1, 4, 8}, CodeCase{true, 2, 1, 2}, CodeCase{true, 2, 2, 3},
        CodeCase{true, 2, 3, 6}, CodeCase{true, 2, 4, 7},
        // Beyond nozzle 4: odd keeps the number, even drops by one.
        CodeCase{true, 1, 5, 5}, CodeCase{true, 1, 6, 6}, CodeCase{true, 2, 5, 5},
        CodeCase{true, 2, 6, 6}, CodeCase{true, 3, 7, 9}, CodeCase{true, 4, 7, 9},
        CodeCase{true, 2, 0, 0}, CodeCase{true, 1, 0, 0}, CodeCase{true, 254, 4, -1},
        CodeCase{true, 255, 2, -1}));

}  // namespace
}  // namespace fuel
