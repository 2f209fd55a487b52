// The station file's reader on its own: what it makes of the text, what it refuses, and the
// whole message it refuses it with, since people read these to mend their files.
#include "forecourt/ConfigReader.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

namespace fuel::forecourt {
namespace {

const std::filesystem::path kFile = "/etc/fuel/station.ini";

// What the message is, or "accepted".
std::string Outcome(const std::function<void()>& act) {
    try {
        act();
        return "accepted";
    } catch (const ConfigError& error) {
        return error.what();
    }
}

std::string Name(const char* what) {
    std::string name = what;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return name;
}

TEST(ConfigReaderTest, SectionsAndKeysWithTheirLines) {
    // Windows line ends, comments of both kinds, a blank value, and [KIND] beside
    // [KIND NAME] of the same kind: none of them the same section.
    const std::vector<ConfigSection> sections = ReadConfigSections(
        "# first\r\n[line]\r\nport = a b \r\n\r\n; second\r\n[line north]\r\n"
        "  driver-options =\r\nport=x\r\n[grade 95]",
        kFile);
    ASSERT_EQ(sections.size(), 3u);
    EXPECT_EQ(sections[0].Title(), "[line]");
    EXPECT_EQ(sections[0].line, 2);
    ASSERT_EQ(sections[0].keys.size(), 1u);
    EXPECT_EQ(sections[0].keys[0].value, "a b");
    EXPECT_EQ(sections[0].keys[0].line, 3);
    EXPECT_EQ(sections[1].Title(), "[line north]");
    EXPECT_EQ(sections[1].line, 6);
    ASSERT_EQ(sections[1].keys.size(), 2u);  // in the file's order
    EXPECT_EQ(sections[1].keys[0].name, "driver-options");
    EXPECT_EQ(sections[1].keys[0].value, "");
    EXPECT_EQ(sections[1].keys[0].line, 7);
    EXPECT_EQ(sections[1].keys[1].name, "port");
    EXPECT_EQ(sections[1].keys[1].line, 8);
    EXPECT_EQ(sections[2].Title(), "[grade 95]");  // the last line without its line end
    EXPECT_EQ(sections[2].line, 9);
}

struct BadText {
    const char* what;
    const char* text;
    const char* message;
};

class ConfigReaderRefusesTest : public testing::TestWithParam<BadText> {};

TEST_P(ConfigReaderRefusesTest, TheWholeMessage) {
    EXPECT_EQ(Outcome([] { ReadConfigSections(GetParam().text, kFile); }), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigReaderRefusesTest,
    testing::Values(BadText{"key twice", "[s]\nx = 1\ny = 2\nx = 1\n",
                            "/etc/fuel/station.ini:4: [s]: x is given twice (first on line 2)"},
                    BadText{"key twice with windows line ends", "[s n]\r\n\r\nx = 1\r\nx = 2\r\n",
                            "/etc/fuel/station.ini:4: [s n]: x is given twice (first on line 3)"},
                    BadText{"key outside a section", "# c\nx = 1\n[s]\n",
                            "/etc/fuel/station.ini:2: \"x\" comes before any section"},
                    BadText{"section twice", "[line n]\n[grade n]\n[line n]\n",
                            "/etc/fuel/station.ini:3: [line n] is given twice (first on line 1)"},
                    BadText{"nameless section twice", "[mqtt]\na = 1\n[mqtt]\nb = 2\n",
                            "/etc/fuel/station.ini:3: [mqtt] is given twice (first on line 1)"},
                    BadText{"header not closed", "[s\n",
                            "/etc/fuel/station.ini:1: a section header ends with ]"},
                    BadText{"header of three words", "[a b c]\n",
                            "/etc/fuel/station.ini:1: a section header is [KIND] or [KIND NAME]"},
                    BadText{"empty header", "[ ]\n",
                            "/etc/fuel/station.ini:1: a section header is [KIND] or [KIND NAME]"},
                    BadText{"no equals sign", "[s]\nport /dev/ttyS0\n",
                            "/etc/fuel/station.ini:2: \"port /dev/ttyS0\" is not \"key = value\""},
                    BadText{"key without a name", "[s]\n = 1\n",
                            "/etc/fuel/station.ini:2: a key has no name"},
                    BadText{"text in windows-1251", "[grade DT]\nname = \xc4\xe8\xe7\xe5\xeb\xfc\n",
                            "/etc/fuel/station.ini:2: this line is not UTF-8 text (byte 8): save "
                            "the file as UTF-8"},
                    BadText{"a comment in windows-1251", "# \xc4\n[s]\n",
                            "/etc/fuel/station.ini:1: this line is not UTF-8 text (byte 3): save "
                            "the file as UTF-8"}),
    [](const testing::TestParamInfo<BadText>& info) { return Name(info.param.what); });

enum class Getter { Integer, Decimal, Boolean, Path };

struct ValueCase {
    const char* what;
    Getter getter;
    const char* value;
    // The value read (a decimal with six digits), or the message after "FILE:2: [s]: ".
    std::string outcome;
};

class ConfigReaderValueTest : public testing::TestWithParam<ValueCase> {};

TEST_P(ConfigReaderValueTest, ReadsOrRefusesWithTheKeysLine) {
    const ValueCase& c = GetParam();
    SectionReader reader({"s", "", 1, {}}, kFile);
    const SectionReader::Key key{"k", c.value, 2};
    std::ostringstream read;
    const std::string outcome = Outcome([&] {
        switch (c.getter) {
            case Getter::Integer:
                read << reader.Integer(key, 1, 32);
                break;
            case Getter::Decimal:
                read << std::fixed << reader.Decimal(key, 0.01, 99.99);
                break;
            case Getter::Boolean:
                read << (reader.Boolean(key) ? "yes" : "no");
                break;
            case Getter::Path:
                read << reader.Path(key).string();
                break;
        }
    });
    EXPECT_EQ(outcome == "accepted" ? read.str() : outcome,
              outcome == "accepted" ? c.outcome : "/etc/fuel/station.ini:2: [s]: " + c.outcome);
}

constexpr char kWhole[] = "k must be a whole number from 1 to 32, not ";
constexpr char kNumber[] = "k must be a number from 0.01 to 99.99, not ";

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigReaderValueTest,
    testing::Values(
        ValueCase{"whole number", Getter::Integer, "7", "7"},
        ValueCase{"whole number at the top", Getter::Integer, "32", "32"},
        ValueCase{"whole number below", Getter::Integer, "0", kWhole + std::string("\"0\"")},
        ValueCase{"whole number above", Getter::Integer, "33", kWhole + std::string("\"33\"")},
        ValueCase{"whole number negative", Getter::Integer, "-1", kWhole + std::string("\"-1\"")},
        ValueCase{"whole number with trailing junk", Getter::Integer, "7x",
                  kWhole + std::string("\"7x\"")},
        ValueCase{"two whole numbers", Getter::Integer, "7 8", kWhole + std::string("\"7 8\"")},
        ValueCase{"whole number empty", Getter::Integer, "", kWhole + std::string("\"\"")},
        // 2^64 + 7: a parser that wrapped around would read 7.
        ValueCase{"whole number past 64 bits", Getter::Integer, "18446744073709551623",
                  kWhole + std::string("\"18446744073709551623\"")},
        ValueCase{"whole number as a decimal", Getter::Integer, "7.0",
                  kWhole + std::string("\"7.0\"")},
        ValueCase{"decimal", Getter::Decimal, "45.67", "45.670000"},
        ValueCase{"decimal with an exponent", Getter::Decimal, "1e1", "10.000000"},
        ValueCase{"decimal with trailing junk", Getter::Decimal, "45.67l",
                  kNumber + std::string("\"45.67l\"")},
        ValueCase{"decimal with a comma", Getter::Decimal, "45,67",
                  kNumber + std::string("\"45,67\"")},
        ValueCase{"decimal above", Getter::Decimal, "100", kNumber + std::string("\"100\"")},
        ValueCase{"decimal not a number", Getter::Decimal, "nan", kNumber + std::string("\"nan\"")},
        ValueCase{"decimal infinite", Getter::Decimal, "inf", kNumber + std::string("\"inf\"")},
        ValueCase{"decimal empty", Getter::Decimal, "", kNumber + std::string("\"\"")},
        ValueCase{"yes", Getter::Boolean, "yes", "yes"},
        ValueCase{"true", Getter::Boolean, "true", "yes"},
        ValueCase{"zero", Getter::Boolean, "0", "no"},
        ValueCase{"neither yes nor no", Getter::Boolean, "maybe",
                  "k must be yes or no, not \"maybe\""},
        ValueCase{"yes-no empty", Getter::Boolean, "", "k must be yes or no, not \"\""},
        ValueCase{"relative path", Getter::Path, "data/journal.db", "/etc/fuel/data/journal.db"},
        ValueCase{"path up a directory", Getter::Path, "../bus/station.conf",
                  "/etc/bus/station.conf"},
        ValueCase{"absolute path", Getter::Path, "/var/lib/fuel.db", "/var/lib/fuel.db"},
        // Taken from the file's directory, an empty path would name the directory itself.
        ValueCase{"empty path", Getter::Path, "", "k is empty"}),
    [](const testing::TestParamInfo<ValueCase>& info) { return Name(info.param.what); });

struct TakeCase {
    const char* what;
    const char* text;  // one section
    std::function<void(SectionReader&)> act;
    const char* message;
};

class ConfigReaderTakeTest : public testing::TestWithParam<TakeCase> {};

TEST_P(ConfigReaderTakeTest, TheWholeMessage) {
    const TakeCase& c = GetParam();
    SectionReader reader(ReadConfigSections(c.text, kFile).at(0), kFile);
    EXPECT_EQ(Outcome([&] { c.act(reader); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigReaderTakeTest,
    testing::Values(TakeCase{"missing, at the header", "[s n]\na = 1\n",
                             [](SectionReader& r) { r.Require("b"); },
                             "/etc/fuel/station.ini:1: [s n]: b is missing"},
                    TakeCase{"required but empty", "[s]\nb =\n",
                             [](SectionReader& r) { r.Require("b"); },
                             "/etc/fuel/station.ini:2: [s]: b is empty"},
                    TakeCase{"a key is taken once", "[s]\na = 1\n",
                             [](SectionReader& r) {
                                 r.Take("a");
                                 r.Require("a");
                             },
                             "/etc/fuel/station.ini:1: [s]: a is missing"},
                    TakeCase{"the first key left over", "[s]\nz = 1\na = 2\nm = 3\n",
                             [](SectionReader& r) {
                                 r.Take("a");
                                 r.Finish();
                             },
                             "/etc/fuel/station.ini:2: [s]: no key \"z\""},
                    TakeCase{"all taken", "[s]\nid.a = 1\nid.b = 2\n",
                             [](SectionReader& r) {
                                 r.TakeStartingWith("id.");
                                 r.Finish();
                             },
                             "accepted"},
                    TakeCase{"a prefix takes only its own", "[s]\nid.a = 1\nidb = 2\n",
                             [](SectionReader& r) {
                                 r.TakeStartingWith("id.");
                                 r.Finish();
                             },
                             "/etc/fuel/station.ini:3: [s]: no key \"idb\""},
                    TakeCase{"a name where none belongs", "[forecourt x]\n",
                             [](SectionReader& r) { r.RefuseName(); },
                             "/etc/fuel/station.ini:1: [forecourt x]: takes no name"}),
    [](const testing::TestParamInfo<TakeCase>& info) { return Name(info.param.what); });

TEST(ConfigReaderTest, KeysOfAPrefixInTheFilesOrder) {
    SectionReader reader(ReadConfigSections("[s]\nid.b = 1\nx = 2\nid.a = 3\n", kFile).at(0),
                         kFile);
    const std::vector<SectionReader::Key> taken = reader.TakeStartingWith("id.");
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].name, "id.b");
    EXPECT_EQ(taken[1].name, "id.a");
    EXPECT_EQ(taken[1].line, 4);
    EXPECT_EQ(reader.Take("x")->value, "2");
}

}  // namespace
}  // namespace fuel::forecourt
