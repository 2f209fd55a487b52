// A save that fails half-way leaves the old file whole. The failure is a real one: the
// process may write only a few bytes to any file (RLIMIT_FSIZE), as on a disk that is full.
#include <gtest/gtest.h>

#include "driver/Exceptions.h"
#include "testing/FileSizeLimit.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/AtomicFile.h"
#include "tool/Catalogue.h"

namespace fuel::tool {
namespace {

using test::FileSizeLimit;

TEST(FailedSaveTest, OldCatalogueStaysWhole) {
    test::TemporaryDirectory directory;
    CControllerList list(directory.Path());
    for (int i = 0; i < 20; ++i) {
        CController& controller = list.Add();
        controller.Name = "КУП " + std::to_string(i);
        controller.File = "k" + std::to_string(i) + ".ini";
    }
    list.Save();
    const std::string before = test::ReadBytes(directory.Path() / "VPP.ini");
    const std::string listing = test::Listing(directory.Path());

    list.Delete(3);
    list[0].Name = "другое имя";
    {
        const FileSizeLimit limit(before.size() / 2);
        try {
            list.Save();
            FAIL() << "the save went through a file size limit";
        } catch (const Exception& e) {
            EXPECT_NE(e.Message().find("Невозможно записать файл"), std::string::npos)
                << e.Message();
        }
    }
    EXPECT_EQ(test::ReadBytes(directory.Path() / "VPP.ini"), before);
    EXPECT_EQ(test::Listing(directory.Path()), listing);
    CControllerList reloaded(directory.Path());
    EXPECT_FALSE(reloaded.Load());
    EXPECT_EQ(reloaded.Count(), 20);
    EXPECT_EQ(reloaded[0].Name, "КУП 0");
}

}  // namespace
}  // namespace fuel::tool
