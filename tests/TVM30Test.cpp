#include "driver/TVM30.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "driver/Text1251.h"
#include "testing/Environment.h"
#include "testing/RecordingLink.h"

namespace fuel {
namespace {

using test::RecordingLink;

// A cnf.INI in a private temporary directory, removed with the fixture.
class TempIni {
  public:
    TempIni() {
        dir_ = std::filesystem::temp_directory_path() /
               ("cnf-ini-test-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::create_directories(dir_);
    }
    ~TempIni() { std::filesystem::remove_all(dir_); }
    std::string Write(const std::string& text) const {
        std::ofstream(path(), std::ios::binary) << text;
        return path();
    }
    std::string path() const { return (dir_ / "cnf.INI").string(); }

  private:
    std::filesystem::path dir_;
};

struct Options {
    bool origAdres, startInLiter, wStart, wDoza;
    bool operator==(const Options&) const = default;
};

Options OptionsOf(const TVM30& driver) {
    return {driver.OrigAdres, driver.StartInLiter, driver.WStart, driver.WDoza};
}

struct OptionsCase {
    const char* name;
    std::uint32_t flags;
    std::optional<std::string> ini;  // nullopt: no file at all
    Options expected;
};

void PrintTo(const OptionsCase& c, std::ostream* os) {
    *os << c.name;
}

class OptionsTest : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(OptionsTest, FlagsThenCnfIni) {
    const OptionsCase& c = GetParam();
    TempIni ini;
    const std::string path = c.ini ? ini.Write(*c.ini) : ini.path();
    RecordingLink link;
    TVM30 driver(c.flags, &link, path);
    EXPECT_EQ(OptionsOf(driver), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, OptionsTest,
    ::testing::Values(
        OptionsCase{"flags_0", 0x00, std::nullopt, {false, true, false, false}},
        OptionsCase{"flags_70", 0x70, std::nullopt, {false, false, true, true}},
        OptionsCase{"bit4_only", 0x10, std::nullopt, {false, false, false, false}},
        OptionsCase{"bit5_only", 0x20, std::nullopt, {false, true, true, false}},
        OptionsCase{"bit6_only", 0x40, std::nullopt, {false, true, false, true}},
        OptionsCase{"other_bits_ignored", 0x8F, std::nullopt, {false, true, false, false}},
        OptionsCase{"only_low_byte_counts", 0xFF0F, std::nullopt, {false, true, false, false}},
        OptionsCase{"ini_wstart_0_overrides_bit5",
                    0x20,
                    "[Varno]\nWStart=0\n",
                    {false, true, false, false}},
        OptionsCase{"ini_origadres_1", 0x00, "[Varno]\nOrigAdres=1\n", {true, true, false, false}},
        OptionsCase{"ini_all_four",
                    0x00,
                    "[Varno]\r\nOrigAdres=7\r\nStartInLiter=0\r\nWStart=-1\r\nWDoza=2\r\n",
                    {true, false, true, true}},
        OptionsCase{
            "ini_names_ignore_case", 0x00, "[VARNO]\nwstart = 1\n", {false, true, true, false}},
        OptionsCase{"ini_not_a_number_is_absent",
                    0x70,
                    "[Varno]\nStartInLiter=yes\nWStart=abc\nWDoza=\n",
                    {false, false, true, true}},
        OptionsCase{
            "ini_other_section_ignored", 0x20, "[Other]\nWStart=0\n", {false, true, true, false}},
        OptionsCase{
            "ini_first_key_wins", 0x00, "[Varno]\nWDoza=1\nWDoza=0\n", {false, true, false, true}},
        OptionsCase{"ini_empty_file", 0x70, "", {false, false, true, true}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TVM30Test, FreshObjectHasEveryDefault) {
    RecordingLink link;
    TVM30 driver(0, &link, "/nonexistent/cnf.INI");
    EXPECT_EQ(driver.HostLink, &link);
    for (int c = 1; c <= 32; ++c) {
        ASSERT_EQ(driver.GetLinkState(static_cast<std::uint8_t>(c)), 1) << c;
        for (int d = 1; d <= 32; ++d) {
            ASSERT_EQ(driver.Tables().CurrentNozzle[c][d], 1);
            ASSERT_EQ(driver.Tables().DispenserMode[c][d], 0);
            ASSERT_EQ(driver.Tables().ModeRecheckCountdown[c][d], 0);
            ASSERT_EQ(driver.Tables().ModeStableCount[c][d], 1);
            ASSERT_EQ(driver.Tables().VolumeDecimals[c][d], 2);
            ASSERT_EQ(driver.Tables().MoneyDecimals[c][d], 2);
            ASSERT_EQ(driver.Tables().VolumeLimit[c][d], 0.0);
            ASSERT_EQ(driver.Tables().MoneyLimit[c][d], 0.0);
            for (int n = 1; n <= 6; ++n) {
                ASSERT_EQ(driver.Tables().NozzleStatus[c][d][n], n == 1 ? 192 : 0) << c << d << n;
                ASSERT_EQ(driver.Tables().NozzlePrice[c][d][n], 0.0);
                ASSERT_EQ(driver.Tables().NozzleVolume[c][d][n], 0.0);
            }
        }
    }
    EXPECT_TRUE(link.sent.empty());
}

TEST(TVM30Test, EveryTableRejectsIndexesOutsideItsRange) {
    RecordingLink link;
    TVM30 driver(0, &link, "");
    EXPECT_THROW(driver.Tables().LinkState[0], ERangeError);
    EXPECT_THROW(driver.Tables().LinkState[33], ERangeError);
    EXPECT_THROW(driver.Tables().DispenserMode[1][0], ERangeError);
    EXPECT_THROW(driver.Tables().DispenserMode[33][1], ERangeError);
    EXPECT_THROW(driver.Tables().NozzleStatus[1][1][0], ERangeError);
    EXPECT_THROW(driver.Tables().NozzleStatus[1][1][7], ERangeError);
    EXPECT_THROW(driver.Tables().NozzlePrice[1][32][-1], ERangeError);
    EXPECT_THROW(driver.Tables().NozzleVolume[1][1][0x100000001LL], ERangeError);
    EXPECT_NO_THROW(driver.Tables().NozzleVolume[32][32][6]);
}

// The functions that change the tables for a caller that is no host operation check every
// index as the tables do, before anything changes.
TEST(TVM30Test, NamedTableChangesRefuseIndexesOutsideTheirRange) {
    RecordingLink link;
    TVM30 driver(0, &link, "");
    DispenserState changed;
    changed.DispenserMode = '0';
    changed.NozzlePrice[6] = 9.5;
    const std::pair<std::int64_t, std::int64_t> places[] = {{0, 1}, {33, 1}, {1, 0}, {1, 33}};
    for (const auto& [channel, dispenser] : places) {
        EXPECT_THROW(driver.RestoreDispenser(channel, dispenser, changed), ERangeError);
        EXPECT_THROW(driver.SelectNozzle(channel, dispenser, 2), ERangeError);
    }
    EXPECT_THROW(driver.RestoreLinkState(0, 3), ERangeError);
    EXPECT_THROW(driver.RestoreLinkState(33, 3), ERangeError);
    for (int c = 1; c <= 32; ++c) {
        ASSERT_EQ(driver.Tables().LinkState[c], 1);
        for (int d = 1; d <= 32; ++d) {
            ASSERT_EQ(driver.Tables().Dispenser(c, d), DispenserState{}) << c << " " << d;
        }
    }
}

// A program that finds a fill it did not start points the driver at its nozzle: the stop
// then goes to that nozzle, as after a start of it.
TEST(TVM30Test, TheSelectedNozzleIsTheOneTheStopAddresses) {
    RecordingLink started;
    started.responder = [](const test::Bytes&) { return test::Bytes{'A'}; };
    TVM30 starter(0, &started, "");
    starter.StartPump(1, 3, 2);
    starter.StopPump(1, 3, 1);

    RecordingLink selected;
    selected.responder = started.responder;
    TVM30 driver(0, &selected, "");
    driver.SelectNozzle(1, 3, 2);
    driver.StopPump(1, 3, 1);
    ASSERT_EQ(selected.sent.size(), 1u);
    EXPECT_EQ(selected.sent[0].frame, started.sent.back().frame);
    EXPECT_EQ(driver.Tables().CurrentNozzle[1][3], 2);
}

TEST(TVM30Test, LinkStateOperationsStoreAndRangeCheck) {
    RecordingLink link;
    TVM30 driver(0, &link, "");
    driver.SetLinkState(32, 3);
    EXPECT_EQ(driver.GetLinkState(32), 3);
    EXPECT_EQ(driver.GetLinkState(31), 1);
    EXPECT_THROW(driver.SetLinkState(0, 3), ERangeError);
    EXPECT_THROW(driver.SetLinkState(33, 3), ERangeError);
    EXPECT_THROW(driver.GetLinkState(0), ERangeError);
    EXPECT_THROW(driver.GetLinkState(255), ERangeError);
}

TEST(TVM30Test, ProtocolDescriptionIs26CharactersInWindows1251) {
    RecordingLink link;
    TVM30 driver(0, &link, "");
    const std::string text = Utf8ToCp1251(driver.GetProtocolDescription());
    const std::string expected =
        "v2.50#\xCF\xF0\xEE\xF2\xEE\xEA\xEE\xEB \xEA \xD2\xD0\xCA-\xC2\xC0\xD0\xCD\xCE";
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.size(), 26u);
}

TEST(TVM30Test, ReservedOperationsDoNothing) {
    RecordingLink link;
    TVM30 driver(0x70, &link, "");
    for (const std::uint32_t value : {0u, 1u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(driver.ReservedQuery(value), 0);
    }
    driver.ReservedOperationA(1, 2, 3, 4, 5, 6, 7);
    driver.ReservedOperationB(~0u, ~0u, ~0u);
    driver.ReservedOperationC(0, 99);
    driver.ReservedOperationD(99, 0);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(link.reports.empty());
    EXPECT_EQ(OptionsOf(driver), (Options{false, false, true, true}));
    EXPECT_EQ(driver.GetLinkState(1), 1);
}

TEST(TVM30Test, OperationZeroRaisesTheAbstractError) {
    RecordingLink link;
    TVM30 driver(0, &link, "");
    try {
        driver.AbstractOperation();
        FAIL() << "returned";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "EAbstractError");
        EXPECT_EQ(e.Message(), "Abstract Error");
    }
}

TEST(TVM30Test, ExceptionClassesCarryTheHostsNames) {
    EXPECT_STREQ(Exception("x").ClassName(), "Exception");
    EXPECT_STREQ(ESerialIO("x").ClassName(), "ESerialIO");
    EXPECT_STREQ(ERangeError().ClassName(), "ERangeError");
    EXPECT_EQ(ERangeError().Message(), "Range check error");
    const Exception& asBase = ESerialIO("Can't START POMP");
    EXPECT_EQ(asBase.Message(), "Can't START POMP");
}

TEST(TVM30Test, EachFactoryCallMakesANewObjectAndTheLibraryReference) {
    TempIni ini;
    test::SetEnvironment("CNF_INI", ini.Write("[Varno]\nOrigAdres=1\n").c_str());
    RecordingLink link;
    std::unique_ptr<TVM30> first(GetVE30(0x20, 12345, &link));
    EXPECT_EQ(LibraryDriver(), first.get());
    std::unique_ptr<TVM30> second(GetDriver25(0x40, 0, &link, 1, 2, 3, 4, 5));
    test::UnsetEnvironment("CNF_INI");

    ASSERT_NE(first.get(), second.get());
    EXPECT_EQ(LibraryDriver(), second.get());
    EXPECT_EQ(OptionsOf(*first), (Options{true, true, true, false}));
    EXPECT_EQ(OptionsOf(*second), (Options{true, true, false, true}));
    second->SetLinkState(5, 3);
    EXPECT_EQ(first->GetLinkState(5), 1);
}

TEST(TVM30Test, DefaultOptionsPathFollowsTheEnvironment) {
    test::UnsetEnvironment("CNF_INI");
    EXPECT_EQ(DefaultCnfIniPath(), "/etc/cnf.INI");
    test::SetEnvironment("CNF_INI", "/tmp/elsewhere.ini");
    EXPECT_EQ(DefaultCnfIniPath(), "/tmp/elsewhere.ini");
    test::UnsetEnvironment("CNF_INI");
}

}  // namespace
}  // namespace fuel
