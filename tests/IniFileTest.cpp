#include "driver/IniFile.h"

#include <gtest/gtest.h>

namespace fuel {
namespace {

TEST(IniFileTest, ReadsLikeTheWindowsProfileFunctions) {
    const IniFile ini = IniFile::Parse(
        "Stray=before any section\r\n"
        "[ Varno ]\r\n"
        "  WStart =  1  \r\n"
        "wstart=0\r\n"
        "Name=\"quoted value\"\r\n"
        "Half='open\r\n"
        "Cyr=\xCF\xF0\xEE\xF2\xEE\xEA\xEE\xEB\r\n"
        "Eq=a=b\r\n"
        "no equals sign here\r\n"
        "[varno]\r\n"
        "Later=ignored, only the first section of a name counts\r\n"
        "[Other]\n"
        "WStart=7");
    EXPECT_EQ(ini.ReadString("VARNO", "WSTART"), "1");
    EXPECT_EQ(ini.ReadString("Varno", "Name"), "quoted value");
    EXPECT_EQ(ini.ReadString("Varno", "Half"), "'open");
    EXPECT_EQ(ini.ReadString("Varno", "Cyr"), "\xCF\xF0\xEE\xF2\xEE\xEA\xEE\xEB");
    EXPECT_EQ(ini.ReadString("Varno", "Eq"), "a=b");
    EXPECT_EQ(ini.ReadString("Varno", "Later"), std::nullopt);
    EXPECT_EQ(ini.ReadString("Varno", "Stray"), std::nullopt);
    EXPECT_EQ(ini.ReadString("Other", "WStart"), "7");
    EXPECT_EQ(ini.ReadString("Missing", "WStart"), std::nullopt);
}

TEST(IniFileTest, MissingFileReadsAsEmpty) {
    const IniFile ini = IniFile::Load("/nonexistent/dir/cnf.INI");
    EXPECT_EQ(ini.ReadInteger("Varno", "WStart", 42), 42);
    EXPECT_TRUE(ini.ReadBool("Varno", "WStart", true));
}

TEST(IniFileTest, BooleansAreIntegers) {
    const IniFile ini = IniFile::Parse("[S]\nzero=0\nsome=12\nneg=-1\nword=true\nempty=\n");
    EXPECT_FALSE(ini.ReadBool("S", "zero", true));
    EXPECT_TRUE(ini.ReadBool("S", "some", false));
    EXPECT_TRUE(ini.ReadBool("S", "neg", false));
    EXPECT_FALSE(ini.ReadBool("S", "word", false));  // not a number: the default
    EXPECT_TRUE(ini.ReadBool("S", "word", true));
    EXPECT_TRUE(ini.ReadBool("S", "empty", true));
}

struct NumberCase {
    const char* text;
    std::optional<std::int32_t> value;
};

class ParseIntegerTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseIntegerTest, WholeStringOrNothing) {
    EXPECT_EQ(ParseInteger(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseIntegerTest,
    ::testing::Values(NumberCase{"0", 0}, NumberCase{"1", 1}, NumberCase{"-5", -5},
                      NumberCase{"+7", 7}, NumberCase{"$1F", 31}, NumberCase{"0x10", 16},
                      NumberCase{"$FFFFFFFF", -1}, NumberCase{"2147483647", 2147483647},
                      NumberCase{"-2147483648", std::numeric_limits<std::int32_t>::min()},
                      NumberCase{"2147483648", std::nullopt},
                      NumberCase{"99999999999999999999", std::nullopt},
                      NumberCase{"", std::nullopt}, NumberCase{"-", std::nullopt},
                      NumberCase{"$", std::nullopt}, NumberCase{"abc", std::nullopt},
                      NumberCase{"1 2", std::nullopt}, NumberCase{" 3", std::nullopt},
                      NumberCase{"1.5", std::nullopt}, NumberCase{"12a", std::nullopt}));

}  // namespace
}  // namespace fuel
