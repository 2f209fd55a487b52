#include "cli/Format.h"

#include <gtest/gtest.h>

#include <array>

namespace fuel::cli {
namespace {

struct Words {
    std::uint8_t code;
    const char* words;
    const char* shortWords;
};

class StatusWordsTest : public ::testing::TestWithParam<Words> {};

TEST_P(StatusWordsTest, NameTheStateAndItsNozzle) {
    EXPECT_EQ(StatusWords(GetParam().code), GetParam().words);
    EXPECT_EQ(StatusShort(GetParam().code), GetParam().shortWords);
}

// The edges of each range: a code one past a range must not borrow its meaning.
INSTANTIATE_TEST_SUITE_P(
    Codes, StatusWordsTest,
    ::testing::Values(Words{0, "no status", "-"}, Words{192, "no activity", "none"},
                      Words{200, "idle", "idle"},
                      Words{208, "fill stopped or ended", "end"},
                      Words{209, "fill stopped or ended on nozzle 1", "end 1"},
                      Words{214, "fill stopped or ended on nozzle 6", "end 6"},
                      Words{215, "code 215", "?215"},
                      Words{216, "running", "run"},
                      Words{217, "running on nozzle 1", "run 1"},
                      Words{222, "running on nozzle 6", "run 6"},
                      Words{223, "code 223", "?223"},
                      Words{225, "nozzle 1 lifted, waiting for a start", "wait 1"},
                      Words{230, "nozzle 6 lifted, waiting for a start", "wait 6"},
                      Words{231, "code 231", "?231"}));

TEST(FormatTest, ModesSayWhatTheDriverMakesOfThem) {
    EXPECT_EQ(ModeWords(0, 2, 2), "not read yet");
    EXPECT_EQ(ModeWords('0', 2, 2), "'0' (the driver keeps the nozzle status itself)");
    EXPECT_EQ(ModeWords('1', 2, 2), "'1'");
    EXPECT_EQ(ModeWords(0x42, 3, 2), "0x42 (3 volume and 2 money decimals)");
    EXPECT_EQ(ModeWords(0x48, 3, 2), "'H'");  // past 0x47 the decimals do not apply
    EXPECT_EQ(ModeWords(0xFF, 2, 2), "0xFF");
}

TEST(FormatTest, HexIsSpacedUpperCase) {
    const std::array<std::uint8_t, 5> frame = {0x48, 0x02, 0x55, 0xE4, 0x45};
    EXPECT_EQ(Hex(frame), "48 02 55 E4 45");
    EXPECT_EQ(Hex(std::span<const std::uint8_t>()), "");
}

}  // namespace
}  // namespace fuel::cli
