// A parameter's cells and the value the technician sees and types: assembling, splitting,
// refusing, and the exchanges with the controller.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "driver/Exceptions.h"
#include "driver/TVM30.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/Adjustment.h"
#include "tool/NumberText.h"
#include "tool/ParameterValue.h"

namespace fuel::tool {
namespace {

using test::Bytes;

ValueLayout Layout(std::uint8_t type, std::int32_t scale, std::uint8_t dec) {
    ValueLayout layout;
    layout.type = type;
    layout.scale = scale;
    layout.dec = dec;
    layout.cells = {0x20, 0x21, 0x22, 0x23};
    return layout;
}

CellBytes Cells(std::vector<std::uint8_t> bytes) {
    CellBytes cells;
    cells.count = bytes.size();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        cells.bytes[i] = bytes[i];
    }
    return cells;
}

struct ReadCase {
    const char* name;
    std::uint8_t type;
    std::int32_t scale;
    std::uint8_t dec;
    std::vector<std::uint8_t> bytes;
    const char* text;
    double lastValue;
    char separator = '.';
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class DecodeValueTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(DecodeValueTest, ShownAsTheDialogShowsIt) {
    const ReadCase& c = GetParam();
    const ShownValue shown =
        DecodeValue(Layout(c.type, c.scale, c.dec), Cells(c.bytes), c.separator);
    EXPECT_EQ(shown.text, c.text);
    EXPECT_DOUBLE_EQ(shown.lastValue, c.lastValue);
}

INSTANTIATE_TEST_SUITE_P(
    Cells, DecodeValueTest,
    ::testing::Values(
        ReadCase{"two_bcd_cells_two_decimals", 2, 0, 2, {0x12, 0x34}, "12.34", 12.34},
        ReadCase{"comma_separator", 2, 0, 2, {0x12, 0x34}, "12,34", 12.34, ','},
        ReadCase{"two_plain_cells", 2, 1, 2, {0x12, 0x34}, "00001234", 0x1234},
        ReadCase{"sign_bit_after_decimal_decoding", 10, 0, 0, {0xD5}, "-7", -7},
        ReadCase{"bit_7_of_the_byte_is_not_the_sign", 10, 0, 0, {0x85}, "85", 85},
        ReadCase{"plain_sign_bit_cleared_no_sign_shown", 10, 1, 0, {0x85}, "00000005", 5},
        ReadCase{"signed_zero", 10, 0, 1, {0xC8}, "0", 0},
        ReadCase{"signed_with_decimals", 10, 0, 1, {0xFF}, "-3.7", -3.7},
        ReadCase{"date_bcd", 30, 0, 0, {0x05, 0x12, 0x07}, "05.12.07", 51207},
        ReadCase{"date_plain", 30, 1, 0, {0x05, 0x12, 0x07}, "05.18.07", 0x051207},
        ReadCase{"trailing_zeros_dropped", 3, 0, 4, {0x01, 0x00, 0x50}, "1.005", 1.005},
        ReadCase{"whole_number", 3, 0, 4, {0x01, 0x00, 0x00}, "1", 1},
        ReadCase{"four_bcd_cells", 4, 0, 0, {0x99, 0x99, 0x99, 0x99}, "99999999", 99999999},
        ReadCase{"four_plain_cells", 4, 1, 0, {0xFF, 0xFF, 0xFF, 0xFF}, "FFFFFFFF", 4294967295.0},
        ReadCase{"plain_ignores_decimals", 1, 1, 3, {0x0A}, "0000000A", 10},
        ReadCase{"small_fixed", 1, 0, 5, {0x01}, "0.00001", 0.00001},
        ReadCase{"smaller_scientific", 1, 0, 6, {0x05}, "5E-6", 0.000005},
        ReadCase{"scientific_with_digits", 2, 0, 9, {0x12, 0x34}, "1.234E-6", 0.000001234},
        ReadCase{"nibbles_above_nine", 1, 0, 0, {0x5F}, "65", 65},
        ReadCase{"type_without_cells", 5, 0, 0, {}, "0", 0},
        ReadCase{"type_without_cells_plain", 5, 1, 0, {}, "00000000", 0}));

struct WriteCase {
    const char* name;
    ValueLayout layout;
    const char* typed;
    std::vector<std::uint8_t> bytes;  // empty: refused
    char separator = '.';
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class SplitValueTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(SplitValueTest, CellsOrRefusal) {
    const WriteCase& c = GetParam();
    const SplitResult result = SplitValue(c.layout, c.typed, c.separator);
    if (c.bytes.empty()) {
        EXPECT_EQ(result.outcome, SplitResult::Outcome::Refused);
        EXPECT_FALSE(result.error.empty());
        return;
    }
    ASSERT_EQ(result.outcome, SplitResult::Outcome::Cells) << result.error;
    EXPECT_EQ(result.cells, Cells(c.bytes));
}

ValueLayout ReadOnly(ValueLayout layout) {
    layout.readOnly = true;
    return layout;
}

INSTANTIATE_TEST_SUITE_P(
    Values, SplitValueTest,
    ::testing::Values(
        WriteCase{"two_bcd_cells", Layout(2, 0, 2), "12.34", {0x12, 0x34}},
        WriteCase{"exact_where_extended_precision_gives_29", Layout(1, 0, 2), "0.29", {0x29}},
        // 0.53 × 100 in extended precision is 52.99…, which truncates to 52.
        WriteCase{"exact_where_extended_precision_gives_52", Layout(1, 0, 2), "0.53", {0x53}},
        WriteCase{"exact_1_05", Layout(2, 0, 2), "1.05", {0x01, 0x05}},
        WriteCase{"trailing_zeros_beyond_dec", Layout(2, 0, 2), "12.340", {0x12, 0x34}},
        WriteCase{"comma_separator", Layout(1, 0, 1), "1,5", {0x15}, ','},
        WriteCase{"blanks_and_plus", Layout(1, 0, 0), " +7 ", {0x07}},
        WriteCase{"one_bcd_cell_top", Layout(1, 0, 0), "99", {0x99}},
        WriteCase{"four_bcd_cells_top", Layout(4, 0, 0), "99999999", {0x99, 0x99, 0x99, 0x99}},
        WriteCase{"three_cells_with_decimals", Layout(3, 0, 4), "1.005", {0x01, 0x00, 0x50}},
        WriteCase{"plain_cells_are_hex", Layout(2, 1, 0), "1234", {0x12, 0x34}},
        WriteCase{"plain_with_prefix", Layout(1, 1, 0), "0xff", {0xFF}},
        WriteCase{"plain_ignores_decimals", Layout(1, 1, 2), "$A", {0x0A}},
        WriteCase{"four_plain_cells_top", Layout(4, 1, 0), "FFFFFFFF", {0xFF, 0xFF, 0xFF, 0xFF}},
        WriteCase{"signed_negative", Layout(10, 0, 0), "-7", {0xD5}},
        WriteCase{"signed_positive", Layout(10, 0, 0), "85", {0x85}},
        WriteCase{"signed_top", Layout(10, 0, 0), "127", {0xC7}},
        WriteCase{"signed_bottom", Layout(10, 0, 0), "-37", {0xFF}},
        WriteCase{"signed_with_decimals", Layout(10, 0, 1), "-0.7", {0xD5}},
        WriteCase{"signed_plain", Layout(10, 1, 0), "7F", {0x7F}},
        // Refused: nothing may be sent.
        WriteCase{"one_bcd_cell_would_send_0x23", Layout(1, 0, 0), "123", {}},
        WriteCase{"two_bcd_cells_would_send_23_45", Layout(2, 0, 0), "12345", {}},
        WriteCase{"one_cell_256", Layout(1, 1, 0), "100", {}},
        WriteCase{"one_cell_minus_one", Layout(1, 0, 0), "-1", {}},
        WriteCase{"negative_in_two_cells", Layout(2, 0, 0), "-100", {}},
        WriteCase{"four_bcd_cells_over", Layout(4, 0, 0), "100000000", {}},
        WriteCase{"four_plain_cells_over", Layout(4, 1, 0), "100000000", {}},
        WriteCase{"more_decimals_than_the_parameter", Layout(2, 0, 2), "12.345", {}},
        WriteCase{"not_a_number", Layout(1, 0, 0), "abc", {}},
        WriteCase{"wrong_separator", Layout(1, 0, 1), "1.5", {}, ','},
        WriteCase{"two_separators", Layout(2, 0, 2), "1.2.3", {}},
        WriteCase{"empty", Layout(1, 0, 0), "", {}}, WriteCase{"not_hex", Layout(1, 1, 0), "G", {}},
        WriteCase{"huge", Layout(4, 0, 0), "12345678901234567890", {}},
        WriteCase{"signed_above", Layout(10, 0, 0), "128", {}},
        WriteCase{"signed_below", Layout(10, 0, 0), "-38", {}},
        WriteCase{"signed_plain_negative", Layout(10, 1, 0), "-5", {}},
        WriteCase{"signed_plain_above", Layout(10, 1, 0), "80", {}},
        WriteCase{"read_only", ReadOnly(Layout(1, 0, 0)), "5", {}}));

TEST(SplitValueTest, RefusalSaysWhatFits) {
    EXPECT_EQ(SplitValue(Layout(2, 0, 2), "123.45").error,
              "Значение 123.45 не помещается в 2 ячейки параметра: допустимо от 0 до 99.99");
    EXPECT_EQ(SplitValue(Layout(1, 1, 0), "1FF").error,
              "Значение 1FF не помещается в 1 ячейку параметра: допустимо от 0 до FF");
    EXPECT_EQ(SplitValue(Layout(10, 0, 1), "13", ',').error,
              "Значение 13 не помещается в 1 ячейку параметра: допустимо от -3,7 до 12,7");
}

// Read-only or not: nothing to send is no refusal either.
TEST(SplitValueTest, TypesWithoutAValueFieldWriteNothing) {
    for (const int type : {30, 0, 5, 255}) {
        for (const bool readOnly : {false, true}) {
            ValueLayout layout = Layout(static_cast<std::uint8_t>(type), 0, 0);
            layout.readOnly = readOnly;
            const SplitResult result = SplitValue(layout, "5");
            EXPECT_EQ(result.outcome, SplitResult::Outcome::NothingToWrite) << type << readOnly;
            EXPECT_EQ(result.cells.count, 0u);
            EXPECT_EQ(result.error, "");
        }
    }
}

// Whatever a signed cell holds, the value it shows can be written back, and then shows the
// same again; values outside what a read can show are refused.
TEST(SplitValueTest, SignedCellRoundTripsOverItsWholeRange) {
    for (const std::int32_t scale : {0, 1}) {
        for (const int dec : {0, 1, 2}) {
            const ValueLayout layout = Layout(10, scale, static_cast<std::uint8_t>(dec));
            for (int byte = 0; byte < 256; ++byte) {
                const std::string shown =
                    DecodeValue(layout, Cells({static_cast<std::uint8_t>(byte)})).text;
                const std::string typed = scale == 1 ? shown.substr(6) : shown;
                const SplitResult split = SplitValue(layout, typed);
                ASSERT_EQ(split.outcome, SplitResult::Outcome::Cells) << byte << " " << shown;
                EXPECT_EQ(DecodeValue(layout, split.cells).text, shown) << byte;
            }
        }
        const ValueLayout layout = Layout(10, scale, 0);
        const int smallest = scale == 1 ? 0 : -37;
        for (int n = -300; n <= 300; ++n) {
            char typed[16];
            char shown[16];
            if (scale == 1) {
                std::snprintf(typed, sizeof typed, "%s%X", n < 0 ? "-" : "", n < 0 ? -n : n);
                std::snprintf(shown, sizeof shown, "%08X", n < 0 ? -n : n);
            } else {
                std::snprintf(typed, sizeof typed, "%d", n);
                std::snprintf(shown, sizeof shown, "%d", n);
            }
            const SplitResult split = SplitValue(layout, typed);
            const bool fits = n >= smallest && n <= 127;
            ASSERT_EQ(split.outcome == SplitResult::Outcome::Cells, fits) << typed;
            if (fits) {
                EXPECT_EQ(DecodeValue(layout, split.cells).text, shown);
            }
        }
    }
}

// Every value the cells hold reads back as written, in both bases.
TEST(SplitValueTest, UnsignedValuesRoundTrip) {
    for (const std::int32_t scale : {0, 1}) {
        const ValueLayout layout = Layout(2, scale, scale == 1 ? 0 : 2);
        const int top = scale == 1 ? 0xFFFF : 9999;
        for (int n = 0; n <= top; ++n) {
            const std::string typed =
                DecodeValue(layout, Cells({EncodeCell(n / (scale == 1 ? 256 : 100), scale),
                                           EncodeCell(n % (scale == 1 ? 256 : 100), scale)}))
                    .text;
            const SplitResult split = SplitValue(layout, typed);
            ASSERT_EQ(split.outcome, SplitResult::Outcome::Cells) << typed;
            ASSERT_EQ(DecodeValue(layout, split.cells).text, typed);
        }
    }
}

TEST(EntryTextTest, ComputedValuesAsTheFieldHoldsThem) {
    EXPECT_EQ(EntryText(Layout(3, 0, 4), 1.005), "1.0050");
    EXPECT_EQ(EntryText(Layout(3, 0, 2), 2.4875, ','), "2,49");
    EXPECT_EQ(EntryText(Layout(2, 1, 0), 4660.4), "1234");
    const SplitResult split = SplitValue(Layout(3, 0, 4), EntryText(Layout(3, 0, 4), 1.005));
    EXPECT_EQ(split.cells, Cells({0x01, 0x00, 0x50}));
}

// The exchanges: cells one at a time, the first first, ROM cells as 256 + k.
class ValueExchangeTest : public ::testing::Test {
  protected:
    test::RecordingLink link;
    TVM30 driver{0, &link, ""};
    test::FakeCells cells{link};

    std::vector<Bytes> Sent() const {
        std::vector<Bytes> data;
        for (const auto& s : link.sent) {
            data.push_back(test::DataOf(s.frame));
        }
        return data;
    }
};

TEST_F(ValueExchangeTest, ReadsCellsInOrderFromRamOrRom) {
    cells.Rom(3)[0x80] = 0x12;
    cells.Rom(3)[0x81] = 0x34;
    cells.Ram(3)[0x80] = 0x99;
    ValueLayout layout = Layout(2, 0, 2);
    layout.cells = {0x80, 0x81};
    layout.rom = true;
    EXPECT_EQ(CellAddress(0x80, true), 0x180);
    const ShownValue shown = ReadValue(driver, 1, 3, layout);
    EXPECT_EQ(shown.text, "12.34");
    EXPECT_TRUE(shown.linkGood);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x03, 'Y', '8', '0'}, {0x03, 'Y', '8', '1'}}));
    EXPECT_EQ(ReadCell(driver, 1, 3, CellAddress(0x80, true), 0), 12);
    EXPECT_EQ(ReadCell(driver, 1, 3, CellAddress(0x80, false), 1), 0x99);
}

TEST_F(ValueExchangeTest, WritesTheFirstCellFirst) {
    ValueLayout layout = Layout(3, 0, 4);
    const SplitResult split = SplitValue(layout, "1.005");
    std::size_t written = 0;
    WriteCells(driver, 1, 5, layout, split.cells, &written);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x05, 'x', '2', '0', '0', '1'},
                                          {0x05, 'x', '2', '1', '0', '0'},
                                          {0x05, 'x', '2', '2', '5', '0'}}));
    EXPECT_EQ(ReadValue(driver, 1, 5, layout).text, "1.005");
    WriteCell(driver, 1, 5, CellAddress(0x80, true), 0, 1234);
    EXPECT_EQ(cells.Rom(5)[0x80], 0x34);
}

TEST_F(ValueExchangeTest, FailedExchangeStopsTheWriteWhereItFailed) {
    link.responder = nullptr;  // the line goes quiet after the first cell
    link.QueueAck();
    const ValueLayout layout = Layout(2, 0, 0);
    std::size_t written = 0;
    try {
        WriteCells(driver, 1, 1, layout, Cells({0x12, 0x34}), &written);
        FAIL() << "a silent line raised nothing";
    } catch (const ESerialIO& e) {
        EXPECT_EQ(e.Message(), "Невозможно установить параметр");
    }
    EXPECT_EQ(written, 1u);
}

TEST_F(ValueExchangeTest, ReadWithBadLinkStateIsMarked) {
    link.forcedState = 3;
    const ShownValue shown = ReadValue(driver, 1, 1, Layout(1, 0, 0));
    EXPECT_FALSE(shown.linkGood);
    EXPECT_EQ(shown.text, "0");
}

TEST_F(ValueExchangeTest, ActiveNozzles) {
    cells.Ram(2)[0x30] = 0x12;
    cells.Rom(2)[0x30] = 0x55;
    EXPECT_EQ(ActiveNozzleText(driver, 1, 2, 0x30), "12");  // RAM, decimal decoding
    EXPECT_EQ(ActiveNozzleText(driver, 1, 2, 0), "---");
    EXPECT_EQ(link.sent.size(), 1u);
    link.responder = nullptr;
    EXPECT_EQ(ActiveNozzleText(driver, 1, 2, 0x40), "???");
    EXPECT_THROW(ReadActiveNozzle(driver, 1, 2, 0x40), ESerialIO);
}

struct AdjustCase {
    double old;
    long double dose, measured;
    const char* shown;
};

TEST(AdjustmentTest, MeasuredTimesOldOverDose) {
    for (const AdjustCase& c :
         {AdjustCase{1.0, 10, 10.05L, "1.0050"}, AdjustCase{2.5, 20, 19.9L, "2.4875"},
          AdjustCase{0.9876, 10, 10, "0.9876"}, AdjustCase{0, 10, 9.5L, "0.0000"}}) {
        const AdjustmentResult result = CalculateCoefficient(c.old, c.dose, c.measured);
        ASSERT_TRUE(result.coefficient) << c.shown;
        EXPECT_EQ(FormatCoefficient(*result.coefficient), c.shown);
    }
    // OK hands back the double nearest 1.005, as a typed 1.005 would be.
    EXPECT_EQ(*CalculateCoefficient(1.0, *ParseFieldValue("10"), *ParseFieldValue("10,05", ','))
                   .coefficient,
              1.005);
    EXPECT_EQ(ParseFieldValue("1.2.3"), std::nullopt);
    EXPECT_EQ(ParseFieldValue("-"), std::nullopt);
    EXPECT_EQ(FormatCoefficient(1.005, ','), "1,0050");
}

TEST(AdjustmentTest, DoseZeroIsRefused) {
    const AdjustmentResult result = CalculateCoefficient(1.0, 0, 10.05L);
    EXPECT_FALSE(result.coefficient);
    EXPECT_EQ(result.error, "Заданная доза не может быть равна нулю");
    EXPECT_FALSE(CalculateCoefficient(1e300, 1e-300L, 1e300L).coefficient);
}

}  // namespace
}  // namespace fuel::tool
