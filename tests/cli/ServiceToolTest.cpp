// The catalogue commands and the refusals of the parameter commands, in-process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Program.h"
#include "cli/Settings.h"
#include "driver/Text1251.h"
#include "tests/cli/CliTestSupport.h"
#include "tool/Catalogue.h"
#include "tool/Utf8Path.h"

namespace fuel::cli {
namespace {

namespace fs = std::filesystem;
using test::Contains;
using test::Outcome;
using test::ReadBytes;

class ServiceToolTest : public ::testing::Test {
  protected:
    test::TemporaryDirectory dir;
    fs::path settings = dir.Path() / "Settings";

    Outcome Run(std::vector<std::string> words, const std::string& input = "") {
        words.push_back("--settings");
        words.push_back(settings.string());
        return test::RunInProcess(words, input);
    }

    void WriteCatalogue(const std::string& catalogue) {
        fs::create_directories(settings);
        std::ofstream(settings / "VPP.ini", std::ios::binary) << catalogue;
    }
};

TEST_F(ServiceToolTest, EditsAreSavedAsTheDialogSavesThem) {
    WriteCatalogue("[main]\r\nCount=0\r\n");
    ASSERT_EQ(Run({"catalogue", "add-controller", "КУП/1"}).status, 0);
    ASSERT_EQ(Run({"catalogue", "add-controller", "КУП/1", "--active-nozzle", "0"}).status, 0);
    const Outcome added = Run({"catalogue", "add-parameter", "1", "Знаковый", "--cells", "2C",
                               "--dec", "1", "--rom", "--scale", "binary"});
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_TRUE(Contains(added.out, "added parameter 0 Знаковый (type 1) to КУП/1")) << added.out;

    tool::CControllerList list(settings);
    ASSERT_FALSE(list.Load());
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list[0].File, "КУП_1.ini");
    EXPECT_EQ(list[1].File, "КУП_1 (2).ini");
    EXPECT_EQ(list[1].ActiveNozzle, 0);
    const tool::CParameter& p = list.GetParameter(1, 0);
    EXPECT_EQ(p.Type, 1);
    EXPECT_EQ(p.Dec, 1);
    EXPECT_EQ(p.Cells[0], 0x2C);
    EXPECT_TRUE(p.PZU);
    EXPECT_EQ(p.Scale, 1);
    EXPECT_TRUE(fs::exists(settings / tool::PathFromUtf8("КУП_1 (2).ini")));

    // The editor derives the type from the cells.
    const Outcome edited = Run({"catalogue", "edit", "1", "Знаковый", "--cells", "2C,0,2E", "--ram",
                                "--adjust", "--name", "Три"});
    ASSERT_EQ(edited.status, 0) << edited.err;
    EXPECT_TRUE(Contains(edited.out, "becomes 3 (it was 1)")) << edited.out;
    ASSERT_EQ(Run({"catalogue", "edit", "0", "--name", "Другое имя"}).status, 0);
    ASSERT_FALSE(list.Load());
    EXPECT_EQ(list.GetParameter(1, 0).Name, "Три");
    EXPECT_EQ(list.GetParameter(1, 0).Type, 3);
    EXPECT_EQ(list.GetParameter(1, 0).Function, 1);
    EXPECT_FALSE(list.GetParameter(1, 0).PZU);
    EXPECT_EQ(list[0].Name, "Другое имя");
    EXPECT_EQ(list[0].File, "КУП_1.ini");  // a renamed controller keeps its file

    EXPECT_EQ(Run({"catalogue", "delete", "0", "--yes"}).status, 0);
    EXPECT_EQ(Run({"catalogue", "delete", "0", "0"}, "n\n").status, kExitUsage);  // no terminal
    ASSERT_FALSE(list.Load());
    EXPECT_EQ(list.Count(), 1);
    EXPECT_TRUE(fs::exists(settings / tool::PathFromUtf8("КУП_1.ini")));  // stays on disk
}

TEST_F(ServiceToolTest, NamesTheFilesCannotHoldAreRefused) {
    WriteCatalogue("[main]\r\nCount=0\r\n");
    for (const char* name : {"中文", "two\nlines"}) {
        const Outcome run = Run({"catalogue", "add-controller", name});
        EXPECT_EQ(run.status, kExitUsage) << name;
    }
    EXPECT_EQ(ReadBytes(settings / "VPP.ini"), "[main]\r\nCount=0\r\n");
}

// A catalogue that stopped loading is shown as far as it loaded, with the file and the key,
// and is saved over only with --force.
TEST_F(ServiceToolTest, IncompleteCatalogueIsToldAndKept) {
    const std::string catalogue =
        "[main]\r\nCount=3\r\n[item0]\r\nName=A\r\nFile=a.ini\r\n[item1]\r\nName=B\r\n"
        "File=b.ini\r\nActiveNozzle=1FF\r\n[item2]\r\nName=C\r\nFile=c.ini\r\n";
    WriteCatalogue(catalogue);
    const Outcome listed = Run({"catalogue"});
    EXPECT_EQ(listed.status, kExitFailure);
    EXPECT_TRUE(Contains(listed.out, ": 1 controller\n")) << listed.out;
    EXPECT_TRUE(Contains(listed.err,
                         "did not load whole: файл VPP.ini, раздел [item1], ключ "
                         "ActiveNozzle=1FF"))
        << listed.err;

    const Outcome refused = Run({"catalogue", "add-controller", "D"});
    EXPECT_EQ(refused.status, kExitFailure);
    EXPECT_TRUE(Contains(refused.err, "give --force")) << refused.err;
    EXPECT_EQ(ReadBytes(settings / "VPP.ini"), catalogue);

    EXPECT_EQ(Run({"catalogue", "add-controller", "D", "--force"}).status, 0);
    tool::CControllerList list(settings);
    EXPECT_FALSE(list.Load());
    std::vector<std::string> names;
    list.GetControllerNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "D"}));
}

TEST_F(ServiceToolTest, ControllersAndParametersByNameOrPosition) {
    ASSERT_EQ(Run({"catalogue"}).status, 0);  // the example
    EXPECT_EQ(Run({"param", "read", "пример куп-2", "ПОПРАВКА ТЕМПЕРАТУРЫ (ПРИМЕР)"}).status, 0);
    const Outcome missing = Run({"param", "read", "0", "нет такого"});
    EXPECT_EQ(missing.status, kExitUsage);
    EXPECT_TRUE(Contains(missing.err, "  9  Дата прошивки, ПЗУ (пример)")) << missing.err;
    EXPECT_EQ(Run({"param", "read", "2", "0"}).status, kExitUsage);
    EXPECT_EQ(Run({"param", "frobnicate", "0"}).status, kExitUsage);
    EXPECT_EQ(Run({"param", "read", "0", "0", "--dose", "1"}).status, kExitUsage);
    EXPECT_EQ(Run({"param", "adjust", "0", "1", "--dose", "1", "--measured", "1", "--yes"}).status,
              kExitUsage);  // not an adjustment coefficient
    EXPECT_EQ(Run({"param", "adjust", "0", "0", "--dose", "0", "--measured", "1", "--yes"}).status,
              kExitUsage);
}

// 'param ACTION' on the example catalogue, with --yes and --trace; DUMP in the action stands
// for a file that holds `dump`.
struct RefusalCase {
    const char* name;
    const char* action;
    const char* message;
    const char* dump = "";
};

class RefusalTest : public ServiceToolTest, public ::testing::WithParamInterface<RefusalCase> {};

// A value the cells cannot hold whole, a parameter that must not be written, a dump that does
// not fit the catalogue: refused whole, before anything is read or sent, and nothing reaches
// the audit log.
TEST_P(RefusalTest, NothingIsSent) {
    ASSERT_EQ(Run({"catalogue"}).status, 0);
    const fs::path dump = settings / "dump.txt";
    std::ofstream(dump) << GetParam().dump;
    std::vector<std::string> words = {"param"};
    std::istringstream action(GetParam().action);
    for (std::string word; action >> word;) {
        words.push_back(word == "DUMP" ? dump.string() : word);
    }
    words.insert(words.end(), {"--yes", "--trace"});
    const Outcome run = Run(words);
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_TRUE(Contains(run.err, GetParam().message)) << run.err;
    EXPECT_FALSE(Contains(run.out, "->")) << run.out;
    EXPECT_FALSE(fs::exists(settings / kAuditLogName));
}

INSTANTIATE_TEST_SUITE_P(
    Writes, RefusalTest,
    ::testing::Values(RefusalCase{"one_cell", "write 0 1 1.00",
                                  "не помещается в 1 ячейку параметра: допустимо от 0 до 0.99"},
                      RefusalCase{"four_cells", "write 0 3 1000000", "допустимо от 0 до 999999.99"},
                      RefusalCase{"signed", "write 0 4 12.8", "допустимо от -3.7 до 12.7"},
                      RefusalCase{"decimals", "write 0 0 1.00001",
                                  "больше знаков после запятой, чем у параметра (4)"},
                      RefusalCase{"byte", "write 0 8 100", "допустимо от 0 до FF"},
                      RefusalCase{"seven_bits", "write 1 1 -1", "допустимо от 0 до 7F"},
                      RefusalCase{"read_only", "write 0 6 1", "только для чтения"},
                      RefusalCase{"read_only_rom", "write 0 9 05.12.08", "только для чтения"},
                      RefusalCase{"not_a_number", "write 0 1 abc", "не число"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Dumps, RefusalTest,
    ::testing::Values(
        RefusalCase{"not_a_dump", "restore DUMP", "line 1 of the dump: expected 'key: value'",
                    "hello\n"},
        RefusalCase{"no_controller", "restore DUMP", "names no controller", "address: 1\n"},
        RefusalCase{"value_missing", "restore DUMP",
                    "line 3 of the dump: parameter 1 needs its cells and its value",
                    "controller: 0\naddress: 1\nparameter 1: Цена импульса, л (пример)\n"
                    "  cells: RAM 24 = 01\n"},
        RefusalCase{"cells_moved", "restore DUMP",
                    "was in cells RAM 25 = 01, the catalogue has it in RAM 24",
                    "controller: Пример КУП-1\naddress: 1\nparameter 1: Цена импульса, л "
                    "(пример)\n  cells: RAM 25 = 01\n  value: 0.01\n"},
        RefusalCase{"value_too_large", "restore DUMP",
                    "line 3 of the dump: Цена импульса, л (пример): Значение 1.5 не помещается",
                    "controller: Пример КУП-1\naddress: 1\nparameter 1: Цена импульса, л "
                    "(пример)\n  cells: RAM 24 = 01\n  value: 1.5\n"},
        RefusalCase{"unknown_parameter", "restore DUMP",
                    "no parameter of 'Пример КУП-1' 'Нет такого'",
                    "controller: Пример КУП-1\naddress: 1\nparameter 1: Нет такого\n"
                    "  cells: RAM 24 = 01\n  value: 1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CalculatorTest, TakesCommasAsPoints) {
    const Outcome run = test::RunInProcess({"adjust", "1,5", "10", "10,1"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "1.5150\n");
}

}  // namespace
}  // namespace fuel::cli
