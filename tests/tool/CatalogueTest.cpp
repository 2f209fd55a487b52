// The catalogue's files: what a load makes of them (defaults, fallbacks, the cells a type
// reads, the range error that stops it), and what a save leaves on disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "driver/Exceptions.h"
#include "driver/Text1251.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/Catalogue.h"
#include "tool/ControllerFileName.h"
#include "tool/ParameterFile.h"
#include "tool/Utf8Path.h"

namespace fuel::tool {
namespace {

using test::ReadBytes;
using test::TemporaryDirectory;
using test::WriteBytes;

std::string Hex2(int value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

// The whole catalogue in one line: controller "Name|File|AN|AN2", each parameter
// "Name:type/dec:c0 c1 c2 c3 c4 c5:PZU ReadOnly Function Scale".
std::string Summary(const CControllerList& list) {
    std::string text;
    for (int c = 0; c < list.Count(); ++c) {
        const CController& controller = list[c];
        text += (c == 0 ? "" : " ") + controller.Name + "|" + controller.File + "|" +
                Hex2(controller.ActiveNozzle) + "|" + Hex2(controller.ActiveNozzle2) + "{";
        for (int p = 0; p < controller.Params.Count(); ++p) {
            const CParameter& parameter = controller.Params[p];
            text += (p == 0 ? "" : "; ") + parameter.Name + ":" + std::to_string(parameter.Type) +
                    "/" + std::to_string(parameter.Dec) + ":";
            for (std::size_t cell = 0; cell < parameter.Cells.size(); ++cell) {
                text += (cell == 0 ? "" : " ") + Hex2(parameter.Cells[cell]);
            }
            text += ":" + std::to_string(parameter.PZU) + " " + std::to_string(parameter.ReadOnly) +
                    " " + std::to_string(parameter.Function) + " " +
                    std::to_string(parameter.Scale);
        }
        text += "}";
    }
    return text;
}

struct LoadCase {
    const char* name;
    const char* catalogue;  // VPP.ini
    std::vector<std::pair<std::string, std::string>> parameterFiles;
    const char* loaded;  // Summary of what the load keeps
    const char* stop;    // LoadStop as "file [section] key=value", or "" for a whole load
};

void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << c.name;
}

class CatalogueLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(CatalogueLoadTest, KeepsWhatTheFilesSay) {
    const LoadCase& c = GetParam();
    TemporaryDirectory directory;
    WriteBytes(directory.Path() / "VPP.ini", c.catalogue);
    for (const auto& [file, text] : c.parameterFiles) {
        WriteBytes(directory.Path() / file, text);
    }
    CControllerList list(directory.Path());
    const auto stop = list.Load();
    EXPECT_EQ(Summary(list), c.loaded);
    const std::string where =
        stop ? stop->file + " [" + stop->section + "] " + stop->key + "=" + stop->value : "";
    EXPECT_EQ(where, c.stop);
    EXPECT_EQ(list.Incomplete().has_value(), stop.has_value());
}

constexpr char kAllCells[] = "Cell0=11\nCell1=22\nCell2=33\nCell3=44\nCell4=55\nCell5=66\n";

INSTANTIATE_TEST_SUITE_P(
    Files, CatalogueLoadTest,
    ::testing::Values(
        LoadCase{"defaults",
                 "[main]\nCount=1\n[item0]\nName=A\nFile=a.ini\n",
                 {{"a.ini", "[main]\nCount=1\n[item0]\n"}},
                 "A|a.ini|30|40{:0/0:00 00 00 00 00 00:0 0 0 0}",
                 ""},
        LoadCase{"hex_fallbacks_and_booleans",
                 "[main]\nCount=1\n[item0]\nName=A\nFile=a.ini\nActiveNozzle=xyz\n"
                 "ActiveNozzle2=\n",
                 {{"a.ini",
                   "[main]\nCount=1\n[item0]\nName=P\nType=2\nDec=3\nCell0=zz\nCell1=fe\n"
                   "PZU=2\nReadOnly=abc\nFunction=-1\nScale=$1\n"}},
                 "A|a.ini|30|40{P:2/3:00 FE 00 00 00 00:1 0 -1 1}",
                 ""},
        LoadCase{"cells_by_type",
                 "[main]\nCount=1\n[item0]\nName=A\nFile=a.ini\nActiveNozzle=7\n"
                 "ActiveNozzle2=0\n",
                 {{"a.ini", std::string("[main]\nCount=7\n[item0]\nType=1\n")
                                .append(kAllCells)
                                .append("[item1]\nType=2\n")
                                .append(kAllCells)
                                .append("[item2]\nType=3\n")
                                .append(kAllCells)
                                .append("[item3]\nType=4\n")
                                .append(kAllCells)
                                .append("[item4]\nType=10\n")
                                .append(kAllCells)
                                .append("[item5]\nType=30\n")
                                .append(kAllCells)
                                .append("[item6]\nType=5\n")
                                .append(kAllCells)}},
                 "A|a.ini|07|00{:1/0:11 00 00 00 00 00:0 0 0 0; :2/0:11 22 00 00 00 00:0 0 0 0; "
                 ":3/0:11 22 33 00 00 00:0 0 0 0; :4/0:11 22 33 44 00 00:0 0 0 0; "
                 ":10/0:11 00 00 00 00 00:0 0 0 0; :30/0:11 22 33 00 00 00:0 0 0 0; "
                 ":5/0:00 00 00 00 00 00:0 0 0 0}",
                 ""},
        LoadCase{"range_error_in_the_catalogue_keeps_what_came_before",
                 "[main]\nCount=3\n[item0]\nName=A\nFile=a.ini\n[item1]\nName=B\nFile=b.ini\n"
                 "ActiveNozzle=1FF\n[item2]\nName=C\nFile=c.ini\n",
                 {},
                 "A|a.ini|30|40{}",
                 "VPP.ini [item1] ActiveNozzle=1FF"},
        LoadCase{"negative_byte_is_a_range_error_too",
                 "[main]\nCount=1\n[item0]\nName=A\nActiveNozzle2=FFFFFFFF\n",
                 {},
                 "",
                 "VPP.ini [item0] ActiveNozzle2=FFFFFFFF"},
        LoadCase{"range_error_in_a_parameter_file_drops_its_controller_and_the_rest",
                 "[main]\nCount=3\n[item0]\nName=A\nFile=a.ini\n[item1]\nName=B\nFile=b.ini\n"
                 "[item2]\nName=C\nFile=a.ini\n",
                 {{"a.ini", "[main]\nCount=1\n[item0]\nName=P\nType=1\nCell0=12\n"},
                  {"b.ini",
                   "[main]\nCount=3\n[item0]\nName=Q\n[item1]\nName=R\nType=3\nCell0=1\n"
                   "Cell1=100\n[item2]\nName=S\n"}},
                 "A|a.ini|30|40{P:1/0:12 00 00 00 00 00:0 0 0 0}",
                 "b.ini [item1] Cell1=100"},
        LoadCase{"type_above_a_byte",
                 "[main]\nCount=1\n[item0]\nName=A\nFile=a.ini\n",
                 {{"a.ini", "[main]\nCount=2\n[item0]\nName=P\n[item1]\nName=Q\nType=256\n"}},
                 "",
                 "a.ini [item1] Type=256"},
        LoadCase{"missing_files_and_sections_load_empty",
                 "[main]\nCount=2\n[item0]\nName=A\nFile=none.ini\n",
                 {},
                 "A|none.ini|30|40{} ||30|40{}",
                 ""},
        LoadCase{"count_below_one", "[main]\nCount=-3\n[item0]\nName=A\n", {}, "", ""},
        LoadCase{"count_of_a_damaged_file",
                 "[main]\nCount=999999\n",
                 {},
                 "",
                 "VPP.ini [main] Count=999999"}));

TEST(CatalogueTest, ParameterFileOfTypeTwoSavesItsUnreadCellsAsZero) {
    TemporaryDirectory directory;
    WriteBytes(directory.Path() / "a.ini",
               "[main]\r\nCount=1\r\n[item0]\r\nName=P\r\nType=2\r\nCell0=12\r\nCell1=34\r\n"
               "Cell2=56\r\n");
    CParameterList params;
    EXPECT_FALSE(params.LoadFromFile(directory.Path(), "a.ini"));
    EXPECT_EQ(params[0].Cells[2], 0);
    params.SaveToFile(directory.Path(), "a.ini");
    EXPECT_EQ(ReadBytes(directory.Path() / "a.ini"),
              "[main]\r\nCount=1\r\n[item0]\r\nName=P\r\nType=2\r\nCell0=12\r\nCell1=34\r\n"
              "Cell2=00\r\nDec=0\r\nCell3=00\r\nCell4=00\r\nPZU=0\r\nReadOnly=0\r\nFunction=0\r\n"
              "Scale=0\r\n");
}

// What a new catalogue looks like on disk, byte for byte: Windows-1251 names, the keys in
// their order, hexadecimal bytes in two upper-case digits.
TEST(CatalogueTest, SavesNewFilesInWindows1251) {
    TemporaryDirectory directory;
    CControllerList list(directory.Path() / "Settings");
    CController& controller = list.Add();
    controller.Name = "КУП-1";
    controller.File = "КУП-1.ini";
    controller.ActiveNozzle = 0x0A;
    CParameter& parameter = controller.Params.Add();
    parameter.Name = "Коэффициент";
    parameter.Type = 3;
    parameter.Dec = 4;
    parameter.Cells = {0x20, 0x21, 0x22, 0, 0xAB, 0xCD};
    parameter.PZU = true;
    parameter.Function = 1;
    list.Save();
    const auto settings = directory.Path() / "Settings";
    EXPECT_EQ(ReadBytes(settings / "VPP.ini"),
              "[main]\r\nCount=1\r\n\r\n[item0]\r\nName=" + Utf8ToCp1251("КУП-1") + "\r\nFile=" +
                  Utf8ToCp1251("КУП-1.ini") + "\r\nActiveNozzle=0A\r\nActiveNozzle2=40\r\n");
    EXPECT_EQ(ReadBytes(settings / PathFromUtf8("КУП-1.ini")),
              "[main]\r\nCount=1\r\n\r\n[item0]\r\nName=" + Utf8ToCp1251("Коэффициент") +
                  "\r\nType=3\r\nDec=4\r\nCell0=20\r\nCell1=21\r\nCell2=22\r\nCell3=00\r\n"
                  "Cell4=AB\r\nPZU=1\r\nReadOnly=0\r\nFunction=1\r\nScale=0\r\n");
}

TEST(CatalogueTest, CyrillicNamesAndFilesRoundTrip) {
    TemporaryDirectory directory;
    CControllerList list(directory.Path());
    for (const char* name : {"Ёлочка «Ю»", "Пример КУП"}) {
        CController& controller = list.Add();
        controller.Name = name;
        controller.File = NewControllerFileName(name, list);
        controller.Params.Add().Name = std::string("Параметр ") + name;
    }
    list.Save();
    CControllerList reloaded(directory.Path());
    EXPECT_FALSE(reloaded.Load());
    EXPECT_EQ(Summary(reloaded), Summary(list));
    std::vector<std::string> names;
    reloaded.GetControllerNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"Ёлочка «Ю»", "Пример КУП"}));
    reloaded.GetParameterNames(1, names);
    EXPECT_EQ(names, (std::vector<std::string>{"Параметр Пример КУП"}));
    EXPECT_EQ(reloaded.GetParameter(0, 0).Name, "Параметр Ёлочка «Ю»");
    EXPECT_THROW(reloaded.GetParameter(0, 1), ERangeError);
    EXPECT_THROW(reloaded.GetParameterNames(2, names), ERangeError);
}

// A catalogue that shrank leaves the sections and files it no longer names on disk, and
// whatever else a person put into the files stays where it was.
TEST(CatalogueTest, SaveKeepsOldSectionsUnknownKeysAndComments) {
    TemporaryDirectory directory;
    WriteBytes(directory.Path() / "VPP.ini",
               "; made by hand\r\n[main]\r\nCount=3\r\nVersion=7\r\n\r\n[item0]\r\nName=A\r\n"
               "File=a.ini\r\nNote=keep me\r\n\r\n; the second\r\n[item1]\r\nName=B\r\n"
               "File=b.ini\r\n\r\n[item2]\r\nName=C\r\nFile=c.ini\r\n");
    WriteBytes(directory.Path() / "b.ini", "[main]\r\nCount=0\r\n");
    CControllerList list(directory.Path());
    ASSERT_FALSE(list.Load());
    list.Delete(2);
    list.Delete(1);
    list[0].Name = "A2";
    list.Save();
    EXPECT_EQ(ReadBytes(directory.Path() / "VPP.ini"),
              "; made by hand\r\n[main]\r\nCount=1\r\nVersion=7\r\n\r\n[item0]\r\nName=A2\r\n"
              "File=a.ini\r\nNote=keep me\r\nActiveNozzle=30\r\nActiveNozzle2=40\r\n\r\n"
              "; the second\r\n[item1]\r\nName=B\r\nFile=b.ini\r\n\r\n[item2]\r\nName=C\r\n"
              "File=c.ini\r\n");
    EXPECT_EQ(test::Listing(directory.Path()), "VPP.ini a.ini b.ini");
    CControllerList reloaded(directory.Path());
    reloaded.Load();
    EXPECT_EQ(Summary(reloaded), "A2|a.ini|30|40{}");
}

// Saving after a load that stopped would drop every controller after the stop; it is
// refused, naming the file and the key, until the caller says the technician agreed.
TEST(CatalogueTest, IncompleteCatalogueIsNotSavedOverUnlessTold) {
    TemporaryDirectory directory;
    const std::string catalogue =
        "[main]\nCount=2\n[item0]\nName=A\nFile=a.ini\n[item1]\nName=B\nFile=b.ini\n";
    const std::string bad = "[main]\nCount=1\n[item0]\nType=1\nCell0=FFF\n";
    WriteBytes(directory.Path() / "VPP.ini", catalogue);
    WriteBytes(directory.Path() / "b.ini", bad);
    CControllerList list(directory.Path());
    ASSERT_TRUE(list.Load());
    try {
        list.Save();
        FAIL() << "saved over an incomplete catalogue";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("b.ini, раздел [item0], ключ Cell0=FFF"), std::string::npos)
            << e.Message();
    }
    EXPECT_EQ(ReadBytes(directory.Path() / "VPP.ini"), catalogue);
    EXPECT_EQ(test::Listing(directory.Path()), "VPP.ini b.ini");

    list.Save(CControllerList::Overwrite::EvenIncomplete);
    EXPECT_FALSE(list.Incomplete());
    CControllerList reloaded(directory.Path());
    EXPECT_FALSE(reloaded.Load());
    EXPECT_EQ(Summary(reloaded), "A|a.ini|30|40{}");
    EXPECT_EQ(ReadBytes(directory.Path() / "b.ini"), bad);
}

TEST(CatalogueTest, EnsureDirectory) {
    TemporaryDirectory directory;
    const auto nested = directory.Path() / "KORA" / "Settings";
    EXPECT_FALSE(EnsureDirectory(nested, false));
    EXPECT_FALSE(std::filesystem::exists(nested));
    EXPECT_TRUE(EnsureDirectory(nested, true));
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    EXPECT_TRUE(EnsureDirectory(nested, false));

    WriteBytes(directory.Path() / "file", "x");
    const auto blocked = directory.Path() / "file" / "Settings";
    try {
        EnsureDirectory(blocked, true);
        FAIL() << "created a directory under a file";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Невозможно создать каталог " + Utf8FromPath(blocked));
        EXPECT_STREQ(e.ClassName(), "Exception");
    }
    CControllerList list(blocked);
    list.Add().File = "a.ini";
    EXPECT_THROW(list.Save(), Exception);
}

// What would stop a save half-way (a missing file name; a line break, which would also put
// keys of its own into the file) is found before the first file is written.
TEST(CatalogueTest, NamesThatCannotBeSavedStopTheSaveBeforeAnyFile) {
    TemporaryDirectory directory;
    CControllerList list(directory.Path());
    list.Add().File = "a.ini";
    list.Add().Name = "Без файла";
    EXPECT_THROW(list.Save(), Exception);
    list[1].File = "b.ini";
    list[1].Params.Add().Name = "X\r\nCount=0";
    EXPECT_THROW(list.Save(), Exception);
    EXPECT_EQ(test::Listing(directory.Path()), "");
}

struct FileNameCase {
    const char* name;
    std::vector<const char*> taken;  // File of the controllers already in the list
    const char* file;
};

class ControllerFileNameTest : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(ControllerFileNameTest, SafeAndUnique) {
    const FileNameCase& c = GetParam();
    CControllerList list("unused");
    for (const char* file : c.taken) {
        list.Add().File = file;
    }
    EXPECT_EQ(NewControllerFileName(c.name, list), c.file);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ControllerFileNameTest,
    ::testing::Values(
        FileNameCase{"X1", {}, "X1.ini"}, FileNameCase{"КУП-2", {}, "КУП-2.ini"},
        FileNameCase{"X1", {"x1.INI"}, "X1 (2).ini"},
        FileNameCase{"X1", {"X1.ini", "X1 (2).ini"}, "X1 (3).ini"},
        FileNameCase{"куп", {"КУП.ini"}, "куп (2).ini"}, FileNameCase{"VPP", {}, "VPP (2).ini"},
        FileNameCase{"../../etc/passwd", {}, ".._.._etc_passwd.ini"},
        FileNameCase{"..\\..\\Windows\\win", {}, ".._.._Windows_win.ini"},
        FileNameCase{"..", {}, "КУП.ini"}, FileNameCase{"", {}, "КУП.ini"},
        FileNameCase{"C:\\Settings", {}, "C__Settings.ini"},
        FileNameCase{"A<b>|c?*\"d\"\t", {}, "A_b__c___d__.ini"},
        FileNameCase{"  name. . ", {}, "name.ini"}, FileNameCase{"CON", {}, "CON_.ini"},
        FileNameCase{"com1.x", {}, "com1.x_.ini"}, FileNameCase{"中文", {}, "__.ini"}));

TEST(ControllerFileNameTest, LongNamesAreCut) {
    CControllerList list("unused");
    std::string name;
    std::string cut;
    for (std::size_t i = 0; i < 150; ++i) {
        name += "Ж";
        if (i < kMostFileNameCharacters) {
            cut += "Ж";
        }
    }
    EXPECT_EQ(NewControllerFileName(name, list), cut + ".ini");
}

// Two new controllers of one name used to share a file, and a save then gave both the
// second one's parameters.
TEST(CatalogueTest, TwoNewControllersOfOneNameKeepTheirOwnParameters) {
    TemporaryDirectory directory;
    CControllerList list(directory.Path());
    for (const char* parameter : {"первый", "второй"}) {
        auto controller = std::make_unique<CController>();
        controller->Name = "Новый КУП";
        controller->File = NewControllerFileName(controller->Name, list);
        controller->Params.Add().Name = parameter;
        list.Add(std::move(controller));
    }
    list.Save();
    CControllerList reloaded(directory.Path());
    reloaded.Load();
    EXPECT_EQ(reloaded.GetParameter(0, 0).Name, "первый");
    EXPECT_EQ(reloaded.GetParameter(1, 0).Name, "второй");
    EXPECT_EQ(reloaded[1].File, "Новый КУП (2).ini");
}

// ---- Parameter file names: the file is always one of the settings directory.

// Every file and folder under root, by its path relative to root ('/' between the parts),
// with the file's bytes.
std::map<std::string, std::string> Tree(const std::filesystem::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name =
            Utf8FromPath(std::filesystem::relative(entry.path(), root).generic_u8string());
        tree[name] = entry.is_regular_file() ? ReadBytes(entry.path()) : "<folder>";
    }
    return tree;
}

std::string ParameterFileWith(const std::string& parameter) {
    return "[main]\r\nCount=1\r\n[item0]\r\nName=" + Utf8ToCp1251(parameter) +
           "\r\nType=1\r\nCell0=24\r\n";
}

std::string ParameterNames(const CControllerList& list, int controller) {
    std::vector<std::string> names;
    list.GetParameterNames(controller, names);
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ",") + name;
    }
    return text;
}

std::string Replaced(std::string text, const std::string& token, const std::string& by) {
    for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
        text.replace(at, token.size(), by);
        at += by.size();
    }
    return text;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// "{outside}" stands for the path of TMP/outside.ini without its root: a leading separator
// before it is what, joined as a path, used to reach that file.
struct StoredFileCase {
    const char* name;
    const char* fileA;
    const char* fileB;
    const char* insideA;  // A's file in the settings directory, "" when A's name is refused
    const char* loadedA;  // A's parameters after the load
    std::vector<const char*> refusal;  // what a refused save names; empty: it saves
};

void PrintTo(const StoredFileCase& c, std::ostream* os) {
    *os << c.name;
}

class StoredFileNameTest : public ::testing::TestWithParam<StoredFileCase> {};

TEST_P(StoredFileNameTest, ReadsAndWritesOnlyInTheSettingsDirectory) {
    const StoredFileCase& c = GetParam();
    TemporaryDirectory tmp;
    const std::filesystem::path outside = tmp.Path() / "outside.ini";
    WriteBytes(outside, ParameterFileWith("снаружи"));
    const std::string rootless = Utf8FromPath(outside.relative_path());
    const std::string fileA = Replaced(c.fileA, "{outside}", rootless);
    const std::string insideA = Replaced(c.insideA, "{outside}", rootless);
    const std::filesystem::path settings = tmp.Path() / "Settings";
    std::filesystem::create_directories(settings);
    WriteBytes(settings / "VPP.ini",
               "[main]\r\nCount=2\r\n[item0]\r\nName=A\r\nFile=" + Utf8ToCp1251(fileA) +
                   "\r\n[item1]\r\nName=B\r\nFile=" + c.fileB + "\r\n");
    WriteBytes(settings / "b.ini", ParameterFileWith("бэ"));
    const std::filesystem::path inside = settings / PathFromUtf8(insideA);
    if (*c.insideA != '\0') {
        std::filesystem::create_directories(inside.parent_path());
        WriteBytes(inside, ParameterFileWith("внутри"));
    }
    const auto outsideBefore = [&] {
        auto tree = Tree(tmp.Path());
        std::erase_if(tree, [](const auto& item) { return item.first.rfind("Settings", 0) == 0; });
        return tree;
    }();

    CControllerList list(settings);
    EXPECT_FALSE(list.Load());
    EXPECT_EQ(ParameterNames(list, 0), c.loadedA);
    const auto unread = list.UnreadParameterFiles();
    if (*c.insideA == '\0' && c.loadedA == std::string()) {
        ASSERT_EQ(unread.size(), 1u);
        EXPECT_TRUE(Has(unread[0], "\"A\"") && Has(unread[0], fileA)) << unread[0];
    } else {
        EXPECT_TRUE(unread.empty()) << unread[0];
    }

    list[0].Params.Add().Name = "новый";
    const auto before = Tree(tmp.Path());
    if (c.refusal.empty()) {
        list.Save();
        EXPECT_TRUE(Has(ReadBytes(inside), Utf8ToCp1251("новый"))) << Utf8FromPath(inside);
    } else {
        try {
            list.Save();
            ADD_FAILURE() << "saved";
        } catch (const Exception& e) {
            for (const char* part : c.refusal) {
                EXPECT_TRUE(Has(e.Message(), Replaced(part, "{fileA}", fileA))) << e.Message();
            }
        }
        EXPECT_EQ(Tree(tmp.Path()), before);
    }
    auto outsideAfter = Tree(tmp.Path());
    std::erase_if(outsideAfter,
                  [](const auto& item) { return item.first.rfind("Settings", 0) == 0; });
    EXPECT_EQ(outsideAfter, outsideBefore);
}

const std::vector<const char*> kRefusedA = {"\"A\"", "{fileA}"};
const std::vector<const char*> kSharedAB = {"\"A\"", "\"B\"", "a.ini"};

INSTANTIATE_TEST_SUITE_P(
    Names, StoredFileNameTest,
    ::testing::Values(
        StoredFileCase{"leading_slash", "/a.ini", "b.ini", "a.ini", "внутри", {}},
        StoredFileCase{"leading_backslash", "\\a.ini", "b.ini", "a.ini", "внутри", {}},
        StoredFileCase{"doubled_backslashes", "\\\\srv\\a.ini", "b.ini", "srv/a.ini", "внутри", {}},
        StoredFileCase{"dot_segment", "./a.ini", "b.ini", "a.ini", "внутри", {}},
        StoredFileCase{
            "rooted_path_of_a_file_outside", "/{outside}", "b.ini", "{outside}", "внутри", {}},
        StoredFileCase{"parent", "../outside.ini", "b.ini", "", "", kRefusedA},
        StoredFileCase{"parent_backslash", "..\\outside.ini", "b.ini", "", "", kRefusedA},
        StoredFileCase{"parent_further_in", "sub/../../outside.ini", "b.ini", "", "", kRefusedA},
        StoredFileCase{"three_dots", ".../outside.ini", "b.ini", "", "", kRefusedA},
        StoredFileCase{"drive_relative", "D:outside.ini", "b.ini", "", "", kRefusedA},
        StoredFileCase{"drive_absolute", "C:\\outside.ini", "b.ini", "", "", kRefusedA},
        StoredFileCase{"device", "NUL", "b.ini", "", "", kRefusedA},
        StoredFileCase{"device_with_extension", "sub/con.ini", "b.ini", "", "", kRefusedA},
        StoredFileCase{"shared", "a.ini", "a.ini", "a.ini", "внутри", kSharedAB},
        StoredFileCase{"shared_in_other_case", "a.ini", "A.INI", "a.ini", "внутри", kSharedAB},
        StoredFileCase{"shared_after_the_join", "a.ini", "\\a.ini", "a.ini", "внутри", kSharedAB},
        StoredFileCase{
            "the_catalogue_file", "\\VPP.ini", "b.ini", "", "A,B", {"\"A\"", "VPP.ini"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CatalogueTest, OneParameterListNeitherReadsNorWritesAFileOutside) {
    TemporaryDirectory tmp;
    WriteBytes(tmp.Path() / "x.ini", ParameterFileWith("снаружи"));
    const auto settings = tmp.Path() / "Settings";
    CParameterList params;
    params.Add().Name = "был";
    EXPECT_THROW(params.LoadFromFile(settings, "../x.ini"), Exception);
    EXPECT_EQ(params.Count(), 1);
    EXPECT_THROW(params.SaveToFile(settings, "../x.ini"), Exception);
    EXPECT_EQ(ReadBytes(tmp.Path() / "x.ini"), ParameterFileWith("снаружи"));
    EXPECT_FALSE(std::filesystem::exists(settings));
}

// The way out of a catalogue that cannot be saved: the controller gets a file of its own,
// its parameters as they are in memory go there, and the old file stays for the other.
struct OwnFileCase {
    const char* name;
    const char* fileA;
    const char* fileB;
    bool needed;  // B needs a file of its own
};

class OwnFileTest : public ::testing::TestWithParam<OwnFileCase> {};

TEST_P(OwnFileTest, ClearsTheConflict) {
    const OwnFileCase& c = GetParam();
    TemporaryDirectory tmp;
    const auto settings = tmp.Path() / "Settings";
    std::filesystem::create_directories(settings);
    WriteBytes(settings / "VPP.ini",
               std::string("[main]\r\nCount=2\r\n[item0]\r\nName=A\r\nFile=") + c.fileA +
                   "\r\n[item1]\r\nName=B\r\nFile=" + c.fileB + "\r\n");
    WriteBytes(settings / "a.ini", ParameterFileWith("общий"));
    WriteBytes(tmp.Path() / "outside.ini", ParameterFileWith("снаружи"));
    CControllerList list(settings);
    list.Load();
    const std::string bFile = list[1].File;
    EXPECT_EQ(GiveOwnFileWhenNeeded(list[1], list), c.needed);
    EXPECT_EQ(list[1].File, c.needed ? "B.ini" : bFile);
    EXPECT_TRUE(list.FileConflicts().empty());
    list.Save();

    CControllerList reloaded(settings);
    EXPECT_FALSE(reloaded.Load());
    EXPECT_EQ(ParameterNames(reloaded, 0), ParameterNames(list, 0));
    EXPECT_EQ(ParameterNames(reloaded, 1), ParameterNames(list, 1));
    EXPECT_EQ(ReadBytes(tmp.Path() / "outside.ini"), ParameterFileWith("снаружи"));
}

INSTANTIATE_TEST_SUITE_P(Controllers, OwnFileTest,
                         ::testing::Values(OwnFileCase{"shared", "a.ini", "A.ini", true},
                                           OwnFileCase{"outside", "a.ini", "../outside.ini", true},
                                           OwnFileCase{"none", "a.ini", "", true},
                                           OwnFileCase{"the_catalogue", "a.ini", "VPP.ini", true},
                                           OwnFileCase{"its_own_already", "a.ini", "b.ini", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fuel::tool
