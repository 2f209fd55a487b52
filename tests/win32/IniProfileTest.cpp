// Our INI reader against the Windows profile functions, on a table of awkward files: what
// GetPrivateProfileStringW answers for a section and key, IniFile must answer too. Run with
// the Windows-1251 ANSI code page (LANG=ru_RU.UTF-8 under Wine), as the catalogue files are
// read on a Russian Windows; without it the Cyrillic cases are skipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/IniFile.h"
#include "tool/AtomicFile.h"
#include "tool/Utf8Path.h"

namespace {

constexpr char kAbsent[] = "<absent>";

std::wstring Wide(const std::string& cp1251) {
    std::wstring wide(cp1251.size() + 1, L'\0');
    const int length = MultiByteToWideChar(1251, 0, cp1251.data(), static_cast<int>(cp1251.size()),
                                           wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(length));
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    std::string narrow(wide.size() * 2 + 1, '\0');
    const int length =
        WideCharToMultiByte(1251, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                            static_cast<int>(narrow.size()), nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(length));
    return narrow;
}

struct ProfileCase {
    const char* name;
    std::string file;                                          // Windows-1251 bytes
    std::vector<std::pair<std::string, std::string>> lookups;  // section, key
    bool cyrillic = false;
};

void PrintTo(const ProfileCase& c, std::ostream* os) {
    *os << c.name;
}

class ProfileTest : public ::testing::TestWithParam<ProfileCase> {
  protected:
    std::filesystem::path directory = std::filesystem::temp_directory_path() / "fuel-profile";
    void SetUp() override { std::filesystem::create_directories(directory); }
    void TearDown() override { std::filesystem::remove_all(directory); }
};

TEST_P(ProfileTest, ReadsAsWindowsReads) {
    const ProfileCase& c = GetParam();
    if (c.cyrillic && GetACP() != 1251) {
        GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1251";
    }
    const auto path = directory / "case.ini";
    fuel::tool::SaveFileAtomically(path, c.file);
    const fuel::IniFile ours = fuel::IniFile::Parse(c.file);
    for (const auto& [section, key] : c.lookups) {
        wchar_t buffer[256] = {};
        GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(kAbsent).c_str(),
                                 buffer, 256, path.c_str());
        EXPECT_EQ(ours.ReadString(section, key).value_or(kAbsent), Narrow(buffer))
            << "[" << section << "] " << key;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ProfileTest,
    ::testing::Values(
        ProfileCase{"plain", "[main]\r\nCount=3\r\n", {{"main", "Count"}, {"main", "count"}}},
        ProfileCase{
            "case_of_ascii_names", "[MAIN]\r\ncount=3\r\n", {{"main", "COUNT"}, {"Main", "Count"}}},
        // Windows compares names without regard to case for every letter; Wine 8 folds ASCII
        // letters only, so against Wine the Cyrillic names are asked as they are spelt (the
        // Cyrillic folding is IniFileTest's).
        ProfileCase{"cyrillic_names",
                    // [Параметры] Имя=а Ёж=б
                    "[\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB]\r\n\xC8\xEC\xFF=\xE0\r\n"
                    "\xA8\xE6=\xE1\r\n",
                    {{"\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB", "\xC8\xEC\xFF"},
                     {"\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB", "\xA8\xE6"},
                     {"\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB", "Count"}},
                    true},
        ProfileCase{"cyrillic_values_and_names_beyond_the_alphabet",
                    // [ЂЃЄЅІЇЈЉЊЋЌЎЏҐ] Name=Пример КУП-1 «№1»
                    "[\x80\x81\xAA\xBD\xB2\xAF\xA3\x8A\x8C\x8E\x8D\xA1\x8F\xA5]\r\n"
                    "Name = \xCF\xF0\xE8\xEC\xE5\xF0 \xCA\xD3\xCF-1 \xAB\xB9"
                    "1\xBB \r\n",
                    {{"\x80\x81\xAA\xBD\xB2\xAF\xA3\x8A\x8C\x8E\x8D\xA1\x8F\xA5", "name"}},
                    true},
        ProfileCase{"blanks_around_names_and_values",
                    "  [main]  \r\n   Count   =   3 4  \r\n\tTab\t=\tx\t\r\n",
                    {{"main", "Count"}, {" main ", " Count "}, {"main", "Tab"}}},
        ProfileCase{"blanks_inside_brackets",
                    "[ main ]\r\nCount=3\r\n",
                    {{"main", "Count"}, {" main ", "Count"}}},
        ProfileCase{"quotes",
                    "[s]\r\na=\"q\"\r\nb='q'\r\nc=\"q'\r\nd=\"\r\ne=\"\"\r\nf=\" spaced \"\r\n"
                    "g= \"x\" \r\nh=\"\"q\"\"\r\n",
                    {{"s", "a"},
                     {"s", "b"},
                     {"s", "c"},
                     {"s", "d"},
                     {"s", "e"},
                     {"s", "f"},
                     {"s", "g"},
                     {"s", "h"}}},
        ProfileCase{"first_section_and_first_key_win",
                    "[s]\r\nk=1\r\nk=2\r\n[S]\r\nk=3\r\nj=4\r\n",
                    {{"s", "k"}, {"s", "j"}}},
        ProfileCase{"comments", "; top\r\n[s]\r\n;k=1\r\n  ; k=2\r\nk=3\r\n", {{"s", "k"}}},
        ProfileCase{"missing_section_and_key", "[s]\r\nk=1\r\n", {{"t", "k"}, {"s", "x"}}},
        ProfileCase{"key_without_equals_sign",
                    "[s]\r\nName\r\nName=x\r\nOther=y\r\n",
                    {{"s", "Name"}, {"s", "Other"}}},
        ProfileCase{"line_breaks", "[s]\rk=1\rj=2\n\nl=3", {{"s", "k"}, {"s", "j"}, {"s", "l"}}},
        ProfileCase{"keys_before_any_section", "k=0\r\n[s]\r\nk=1\r\n", {{"s", "k"}}},
        ProfileCase{"last_bracket_ends_the_name",
                    "[a]b]\r\nk=1\r\n[c] tail\r\nk=2\r\n",
                    {{"a]b", "k"}, {"a", "k"}, {"c", "k"}}},
        ProfileCase{"unclosed_bracket_is_no_section",
                    "[s]\r\n[open\r\nk=2\r\n",
                    {{"s", "k"}, {"open", "k"}}},
        ProfileCase{"values_with_equals_signs_and_empty",
                    "[s]\r\nk=a=b\r\ne=\r\n",
                    {{"s", "k"}, {"s", "e"}}},
        ProfileCase{"ctrl_z_is_a_blank", "[s]\r\nk= v\x1A\r\n\x1A", {{"s", "k"}}}));

// An atomic save does not go through a file another program holds open without sharing
// deletion: it fails, and the old file stays whole with nothing left beside it.
TEST(AtomicSaveOnWindows, OpenFileIsLeftWhole) {
    const auto directory = std::filesystem::temp_directory_path() / "fuel-open";
    std::filesystem::create_directories(directory);
    const auto path = directory / fuel::tool::PathFromUtf8("Пример КУП.ini");
    fuel::tool::SaveFileAtomically(path, "old");
    const HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_ANY_THROW(fuel::tool::SaveFileAtomically(path, "new"));
    CloseHandle(held);
    EXPECT_EQ(fuel::tool::ReadExistingFile(path), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory),
                            std::filesystem::directory_iterator()),
              1);
    fuel::tool::SaveFileAtomically(path, "new");
    EXPECT_EQ(fuel::tool::ReadExistingFile(path), "new");
    std::filesystem::remove_all(directory);
}

}  // namespace
