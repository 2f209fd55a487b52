#include "driver/IniFile.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <vector>

#include "driver/Exceptions.h"

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

// The finer points of reading, where Windows reads differently from what one might guess.
TEST(IniFileTest, LinesAndNamesAsTheProfileFunctionsCutThem) {
    const IniFile ini = IniFile::Parse(
        "top=before any section\r"
        "[\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB]\r"  // [Параметры], lines cut at a lone CR
        "\xC8\xEC\xFF=\xE0\r"                       // Имя=а
        "; Count=9\n"
        "Hidden\n"
        "Hidden=shown only when the valueless key above is gone\n"
        "[a]b]\n"
        "k=last bracket ends the name\n"
        "[open\n"
        "k2=still in a]b\n"
        "[\xA8\xEB\xEA\xE0]\n"  // [Ёлка]
        "q1=\"\"\n"
        "q2=\"\n"
        "q3='x\"\n"
        "t= \x1A spaced \t\n");
    EXPECT_EQ(ini.ReadString("", "top"), "before any section");
    // параметры / ИМЯ: Cyrillic letters compare without case, as Windows compares them.
    EXPECT_EQ(ini.ReadString("\xEF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB", "\xC8\xCC\xDF"), "\xE0");
    EXPECT_EQ(ini.ReadString("\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB", "Count"), std::nullopt);
    EXPECT_EQ(ini.ReadString("\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB", "hidden"), std::nullopt);
    EXPECT_EQ(ini.ReadString("a]b", "k"), "last bracket ends the name");
    EXPECT_EQ(ini.ReadString("a]b", "k2"), "still in a]b");
    EXPECT_EQ(ini.ReadString("open", "k2"), std::nullopt);
    EXPECT_EQ(ini.ReadString("\xB8\xCB\xCA\xC0", "q1"), "");  // ёЛКА
    EXPECT_EQ(ini.ReadString("\xA8\xEB\xEA\xE0", "q2"), "\"");
    EXPECT_EQ(ini.ReadString("\xA8\xEB\xEA\xE0", "q3"), "'x\"");
    EXPECT_EQ(ini.ReadString("\xA8\xEB\xEA\xE0", "t"), "spaced");
}

struct WriteCase {
    const char* name;
    const char* before;
    std::vector<std::array<const char*, 3>> writes;  // section, key, value
    const char* after;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class IniWriteTest : public ::testing::TestWithParam<WriteCase> {};

// Writing touches the lines of the keys it writes and nothing else, and what it writes reads
// back as it was given.
TEST_P(IniWriteTest, ChangesOnlyWhatItWrites) {
    const WriteCase& c = GetParam();
    IniFile ini = IniFile::Parse(c.before);
    for (const auto& [section, key, value] : c.writes) {
        ini.WriteString(section, key, value);
    }
    EXPECT_EQ(ini.Text(), c.after);
    const IniFile reread = IniFile::Parse(ini.Text());
    for (const auto& [section, key, value] : c.writes) {
        EXPECT_EQ(reread.ReadString(section, key), value) << section << "/" << key;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniWriteTest,
    ::testing::Values(
        WriteCase{"in_place_keeping_comments_and_order",
                  "; catalogue\r\n[main]\r\nCount = 3\r\nExtra=keep\r\n\r\n[item0]\r\nName=A\r\n",
                  {{"MAIN", "count", "1"}},
                  "; catalogue\r\n[main]\r\nCount=1\r\nExtra=keep\r\n\r\n[item0]\r\nName=A\r\n"},
        WriteCase{"new_key_after_the_last_key_of_its_section",
                  "[a]\r\nx=1\r\n\r\n; the next one\r\n[b]\r\ny=2\r\n",
                  {{"a", "z", "3"}, {"b", "w", "4"}},
                  "[a]\r\nx=1\r\nz=3\r\n\r\n; the next one\r\n[b]\r\ny=2\r\nw=4\r\n"},
        WriteCase{"new_section_at_the_end_after_a_blank_line",
                  "[a]\nx=1",
                  {{"b", "y", "2"}},
                  "[a]\nx=1\n\n[b]\ny=2\n"},
        WriteCase{"empty_file_gets_crlf",
                  "",
                  {{"main", "Count", "0"}, {"item0", "Name", "X"}},
                  "[main]\r\nCount=0\r\n\r\n[item0]\r\nName=X\r\n"},
        WriteCase{"first_of_duplicate_sections_and_keys",
                  "[s]\nk=1\nk=2\n[S]\nk=3\n",
                  {{"s", "K", "9"}},
                  "[s]\nk=9\nk=2\n[S]\nk=3\n"},
        WriteCase{"cyrillic_names_keep_their_spelling",
                  "[\xCA\xD3\xCF]\r\n\xC8\xEC\xFF=\xE0\r\n",   // [КУП] Имя=а
                  {{"\xEA\xF3\xEF", "\xC8\xCC\xDF", "\xE1"}},  // [куп] ИМЯ=б
                  "[\xCA\xD3\xCF]\r\n\xC8\xEC\xFF=\xE1\r\n"},
        WriteCase{"valueless_key_gets_its_value",
                  "[s]\nName\nName=old\n",
                  {{"s", "Name", "new"}},
                  "[s]\nName=new\nName=old\n"},
        WriteCase{"values_that_would_lose_blanks_or_quotes_are_quoted",
                  "[s]\n",
                  {{"s", "a", " padded "},
                   {"s", "b", "\"quoted\""},
                   {"s", "c", "'x'"},
                   {"s", "d", "\"half"},
                   {"s", "e", ""}},
                  "[s]\na=\" padded \"\nb=\"\"quoted\"\"\nc=\"'x'\"\nd=\"half\ne=\n"}));

TEST(IniFileTest, ALineBreakCannotBeStored) {
    IniFile ini;
    EXPECT_THROW(ini.WriteString("s", "k", "two\nlines"), Exception);
    EXPECT_EQ(ini.Text(), "");
}

TEST(IniFileTest, MissingFileReadsAsEmpty) {
    const IniFile ini = IniFile::Load("/nonexistent/dir/cnf.INI");
    EXPECT_EQ(ini.ReadInteger("Varno", "WStart", 42), 42);
    EXPECT_TRUE(ini.ReadBool("Varno", "WStart", true));
}

// A directory where the file should be opens on some systems and then fails to read; the
// runtime's exception must not escape (the driver reads cnf.INI while it is being created).
TEST(IniFileTest, UnreadableFileReadsAsEmpty) {
    const auto directory = std::filesystem::temp_directory_path();
    EXPECT_EQ(IniFile::Load(directory.string()).Text(), "");
    EXPECT_EQ(IniFile::LoadFile(directory).Text(), "");
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
