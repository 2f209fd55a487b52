// Reading and writing single controller memory cells.
#include <gtest/gtest.h>

#include "tests/DriverFixture.h"

namespace fuel {
namespace {

using test::Bytes;
using test::DataReply;
using test::DriverTest;

constexpr char kCannotRead[] = "Невозможно считать параметр";
constexpr char kCannotWrite[] = "Невозможно установить параметр";

struct ReadCase {
    const char* name;
    std::uint32_t address;
    std::int32_t cell;
    Bytes request;
    Bytes replyData;  // between 'H' and the checksum: 7 bytes, reply bytes 2..8
    std::int32_t value;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadParameterTest : public DriverTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadParameterTest, RequestAndValue) {
    const ReadCase& c = GetParam();
    link.QueueReply(DataReply(c.replyData));
    EXPECT_EQ(driver.ReadParameter(1, c.address, c.cell), c.value);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(Sent()[0], c.request);
    EXPECT_EQ(link.sent[0].replyLength, 11);
}

INSTANTIATE_TEST_SUITE_P(
    Cells, ReadParameterTest,
    ::testing::Values(
        ReadCase{"ram_148_at_3",
                 3,
                 148,
                 {0x03, 'X', '9', '4'},
                 {0x03, 'X', '0', '5', '?', '0', '0'},
                 0x5F},
        ReadCase{"ram_0", 7, 0, {0x07, 'X', '0', '0'}, {0x07, 'X', '0', '0', '1', '0', '0'}, 0x01},
        ReadCase{"ram_255_last",
                 0,
                 255,
                 {0x00, 'X', '?', '?'},
                 {0x00, 'X', '0', '?', '?', '0', '0'},
                 0xFF},
        ReadCase{"rom_10_as_266",
                 9,
                 266,
                 {0x09, 'Y', '0', ':'},
                 {0x09, 'Y', '0', '3', '0', '0', '0'},
                 0x30},
        ReadCase{"rom_0_as_256",
                 255,
                 256,
                 {0xFF, 'Y', '0', '0'},
                 {0xFF, 'Y', '0', '0', '2', '0', '0'},
                 0x02},
        // Above 511 the cell is still ROM and only its low byte travels.
        ReadCase{"cell_660_is_rom_0x94",
                 3,
                 660,
                 {0x03, 'Y', '9', '4'},
                 {0x03, 'Y', '0', '1', '1', '0', '0'},
                 0x11},
        ReadCase{"cell_512_is_rom_0",
                 3,
                 512,
                 {0x03, 'Y', '0', '0'},
                 {0x03, 'Y', '0', '0', '0', '0', '0'},
                 0x00},
        // Only the low four bits of each character count.
        ReadCase{"letters_read_by_low_nibble",
                 1,
                 1,
                 {0x01, 'X', '0', '1'},
                 {0x01, 'X', '0', 'E', 'E', '0', '0'},
                 0x55},
        ReadCase{"top_bits_ignored",
                 1,
                 1,
                 {0x01, 'X', '0', '1'},
                 {0x01, 'X', '0', 0xF3, 0x8A, '0', '0'},
                 0x3A},
        // 0xF2 in byte 4 moves the value to bytes 7 and 8.
        ReadCase{"marked_reply_bytes_7_8",
                 3,
                 148,
                 {0x03, 'X', '9', '4'},
                 {0x03, 'X', 0xF2, '1', '2', '5', '?'},
                 0x5F},
        ReadCase{"other_mark_bytes_5_6",
                 3,
                 148,
                 {0x03, 'X', '9', '4'},
                 {0x03, 'X', 0xF3, '1', '2', '5', '?'},
                 0x12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, ReadParameterGivesZeroWhenTheLinkStateIsNotGood) {
    link.forcedState = 3;  // the line reports success but leaves its own state
    link.QueueReply(DataReply({0x03, 'X', '0', '5', '?', '0', '0'}));
    EXPECT_EQ(driver.ReadParameter(1, 3, 148), 0);
    EXPECT_EQ(driver.GetLinkState(1), 3);
}

TEST_F(DriverTest, ReadParameterFailureRaisesAndChangesOnlyLinkState) {
    link.QueueReply({'A'});  // only the acknowledgement where the value was asked for
    EXPECT_TRUE(test::RaisesSerialIO([&] { driver.ReadParameter(2, 3, 148); }, kCannotRead));
    EXPECT_EQ(driver.GetLinkState(2), 3);
    link.QueueSilence();
    EXPECT_TRUE(test::RaisesSerialIO([&] { driver.ReadParameter(2, 3, 148); }, kCannotRead));
    EXPECT_EQ(link.sent.size(), 2u);
}

struct WriteCase {
    const char* name;
    std::uint32_t address;
    std::int32_t cell;
    std::int32_t value;
    Bytes request;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteParameterTest : public DriverTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteParameterTest, Request) {
    const WriteCase& c = GetParam();
    link.QueueAck();
    EXPECT_EQ(driver.WriteParameter(1, c.address, c.cell, c.value), 0);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(Sent()[0], c.request);
    EXPECT_EQ(link.sent[0].replyLength, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cells, WriteParameterTest,
    ::testing::Values(
        WriteCase{"ram_129_value_5f", 2, 129, 0x5F, {0x02, 'x', '8', '1', '5', '?'}},
        WriteCase{"value_low_byte_only", 2, 129, 0x15F, {0x02, 'x', '8', '1', '5', '?'}},
        WriteCase{"value_ff", 2, 0, 0xFF, {0x02, 'x', '0', '0', '?', '?'}},
        WriteCase{"rom_10_as_266", 4, 266, 0xA0, {0x04, 'y', '0', ':', ':', '0'}},
        WriteCase{"cell_700_rom_0xbc", 4, 700, 0x01, {0x04, 'y', ';', '<', '0', '1'}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, WriteParameterIgnoresTheLinkStateAndReadsNothingBack) {
    link.forcedState = 3;
    link.QueueAck();
    EXPECT_EQ(driver.WriteParameter(1, 2, 129, 0x5F), 0);
    EXPECT_EQ(link.sent.size(), 1u);
}

TEST_F(DriverTest, WriteParameterFailureRaises) {
    link.QueueSilence();
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.WriteParameter(1, 2, 129, 0x5F); }, kCannotWrite));
}

TEST_F(DriverTest, ParameterAddressOrChannelOf256RaisesBeforeSending) {
    EXPECT_THROW(driver.ReadParameter(1, 256, 148), ERangeError);
    EXPECT_THROW(driver.WriteParameter(1, 256, 129, 1), ERangeError);
    EXPECT_THROW(driver.ReadParameter(256, 3, 148), ERangeError);
    EXPECT_THROW(driver.WriteParameter(256, 3, 129, 1), ERangeError);
    EXPECT_TRUE(link.sent.empty());
    // A channel outside 1..32 has no link state to record the verdict in.
    link.responder = [](const Bytes&) { return Bytes{'A'}; };
    EXPECT_THROW(driver.ReadParameter(33, 3, 148), ERangeError);
    EXPECT_THROW(driver.WriteParameter(0, 3, 129, 1), ERangeError);
}

}  // namespace
}  // namespace fuel
