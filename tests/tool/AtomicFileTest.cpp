// Saves that replace a file whole, the driver's options file, and names beyond ASCII.
#include <gtest/gtest.h>

#include "driver/Exceptions.h"
#include "driver/TVM30.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/AtomicFile.h"
#include "tool/DriverOptionsFile.h"
#include "tool/Utf8Path.h"

namespace fuel::tool {
namespace {

using test::ReadBytes;
using test::TemporaryDirectory;
using test::WriteBytes;

TEST(AtomicFileTest, ReplacesWholeAndLeavesNothingBeside) {
    TemporaryDirectory directory;
    const auto path = directory.Path() / "file.ini";
    EXPECT_EQ(ReadExistingFile(path), std::nullopt);
    SaveFileAtomically(path, "first");
    SaveFileAtomically(path, "second, longer");
    SaveFileAtomically(path, "3");
    EXPECT_EQ(ReadExistingFile(path), "3");
    EXPECT_EQ(test::Listing(directory.Path()), "file.ini");
}

// The Windows DLL keeps its catalogue under Cyrillic file names: they must reach the file
// system as what they are, on every platform.
TEST(AtomicFileTest, CyrillicFileNames) {
    TemporaryDirectory directory;
    const auto path = directory.Path() / PathFromUtf8("Пример КУП.ini");
    SaveFileAtomically(path, "[main]\r\n");
    UpdateIniFile(path, [](IniFile& ini) { ini.WriteInteger("main", "Count", 2); });
    EXPECT_EQ(ReadExistingFile(path), "[main]\r\nCount=2\r\n");
    EXPECT_EQ(test::Listing(directory.Path()), "Пример КУП.ini");
    EXPECT_EQ(Utf8FromPath(path.filename()), "Пример КУП.ini");
}

TEST(AtomicFileTest, UnreadableFileIsNotReplaced) {
    TemporaryDirectory directory;
    const auto path = directory.Path() / "dir.ini";
    std::filesystem::create_directory(path);
    EXPECT_THROW(UpdateIniFile(path, [](IniFile&) {}), Exception);
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(test::Listing(directory.Path()), "dir.ini");
}

// The options go into cnf.INI beside whatever else the file holds, and a driver created
// afterwards reads them.
TEST(DriverOptionsFileTest, WritesTheFourKeysAndKeepsTheRest) {
    TemporaryDirectory directory;
    const auto path = directory.Path() / "cnf.INI";
    WriteBytes(path, "[Other]\r\nX=1\r\n\r\n[Varno]\r\nWStart=1\r\n; note\r\n");
    WriteDriverOptions(path, DriverOptions{true, false, false, true});
    EXPECT_EQ(ReadBytes(path),
              "[Other]\r\nX=1\r\n\r\n[Varno]\r\nWStart=0\r\nOrigAdres=1\r\nStartInLiter=0\r\n"
              "WDoza=1\r\n; note\r\n");
    const TVM30 driver(0x20, nullptr, path.string());
    EXPECT_TRUE(driver.OrigAdres);
    EXPECT_FALSE(driver.StartInLiter);
    EXPECT_FALSE(driver.WStart);
    EXPECT_TRUE(driver.WDoza);
}

}  // namespace
}  // namespace fuel::tool
