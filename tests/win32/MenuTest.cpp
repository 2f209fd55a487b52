// AddMenuItems through the DLL's table, with a host menu behind the bridge. Each test loads
// the library afresh, so each starts with the menu-pending flag set as at a load.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/win32/BridgeMenu.h"
#include "tests/win32/DllSession.h"
#include "tests/win32/TestHost.h"

namespace fuel::test::win32 {
namespace {

const std::string kItemCaption = Cp1251("Программирование параметров (Варно)");

class MenuItem : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dll_.Loaded());
        object_ = dll_.Create(0, line_.Object());
        ASSERT_NE(object_, nullptr);
    }
    GuardedOutcome Add(BridgeMenu& menu) {
        return dll_.AddMenuItems(object_, &menu.root, BridgeMenu::Factory());
    }

    DllSession dll_;
    TestHost line_;
    void* object_ = nullptr;
};

TEST_F(MenuItem, IsAddedOnceAtTheEndOfTheFirstMenuCaptionedExactlyTrk) {
    BridgeMenu menu;
    menu.root.Add(Cp1251("&Файл"));
    menu.root.Add(Cp1251("ТРК"));
    menu.root.Add(Cp1251("&трк"));
    menu.root.Add(Cp1251("&ТРК "));
    BridgeItem* trk = menu.root.Add(Cp1251("&ТРК"));
    trk->Add(Cp1251("Пуск"));
    BridgeItem* second = menu.root.Add(Cp1251("&ТРК"));

    const GuardedOutcome added = Add(menu);
    ASSERT_FALSE(added.raised) << added.className;
    ASSERT_EQ(menu.calls.size(), 1u);
    EXPECT_EQ(menu.calls[0].parent, trk);
    EXPECT_EQ(menu.calls[0].position, -1);
    const BridgeItem& item = *menu.calls[0].created;
    EXPECT_EQ(item.caption, kItemCaption);
    EXPECT_EQ(item.hint, kItemCaption);
    EXPECT_EQ(item.helpContext, 0);
    EXPECT_EQ(item.shortcut, 0);
    EXPECT_NE(item.clickRoutine, nullptr);
    EXPECT_NE(item.clickObject, nullptr);
    EXPECT_TRUE(second->children.empty());

    // Later calls add nothing, through this object or another one.
    EXPECT_FALSE(Add(menu).raised);
    void* other = dll_.Create(0, line_.Object());
    EXPECT_FALSE(dll_.AddMenuItems(other, &menu.root, BridgeMenu::Factory()).raised);
    EXPECT_EQ(menu.calls.size(), 1u);
    EXPECT_EQ(trk->children.size(), 2u);
}

TEST_F(MenuItem, NullArgumentsAreRangeErrorsAndLeaveTheMenuPending) {
    BridgeMenu menu;
    menu.root.Add(Cp1251("&ТРК"));
    ExpectRangeError(dll_.AddMenuItems(object_, nullptr, BridgeMenu::Factory()));
    ExpectRangeError(dll_.AddMenuItems(object_, &menu.root, nullptr));
    // Not a driver object: refused before anything of the menu is touched.
    ExpectRangeError(
        CallStdcallGuarded(DllSession::Routine(object_, HostSlot::AddMenuItems),
                           {Word(&menu.root), Word(&menu.root), Word(BridgeMenu::Factory())}));
    EXPECT_TRUE(menu.calls.empty());

    ASSERT_FALSE(Add(menu).raised);
    EXPECT_EQ(menu.calls.size(), 1u);
}

struct BrokenHost {
    const char* name;
    bool nullChild;
    bool nullNewItem;
};

class BrokenHostMenu : public MenuItem, public ::testing::WithParamInterface<BrokenHost> {};

TEST_P(BrokenHostMenu, IsARangeErrorNotACrashAndTheMenuIsNotLookedForAgain) {
    BridgeMenu menu;
    menu.root.Add(Cp1251("&Файл"));
    if (GetParam().nullChild) {
        menu.root.children.push_back(nullptr);
    }
    menu.root.Add(Cp1251("&ТРК"));
    menu.factoryGivesNull = GetParam().nullNewItem;
    ExpectRangeError(Add(menu));

    menu.root.children.erase(
        std::remove(menu.root.children.begin(), menu.root.children.end(), nullptr),
        menu.root.children.end());
    menu.factoryGivesNull = false;
    const std::size_t before = menu.calls.size();
    EXPECT_FALSE(Add(menu).raised);
    EXPECT_EQ(menu.calls.size(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenHostMenu,
                         ::testing::Values(BrokenHost{"NullChild", true, false},
                                           BrokenHost{"NullNewItem", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MenuItem, AnExceptionOfTheHostsMenuReachesTheHostWithItsOwnCode) {
    BridgeMenu menu;
    menu.root.Add(Cp1251("&Файл"))->raiseInGetCaption = true;
    menu.root.Add(Cp1251("&ТРК"));
    const GuardedOutcome outcome = Add(menu);
    ASSERT_TRUE(outcome.raised);
    EXPECT_EQ(outcome.code, kHostExceptionCode);
    EXPECT_TRUE(menu.calls.empty());
}

// A child whose table holds data where its routines should be: refused before any of it
// runs, as jumping into data may do anything at all.
TEST_F(MenuItem, AChildThatIsNoBridgeItemIsARangeErrorNotACall) {
    BridgeMenu menu;
    menu.root.Add(Cp1251("&Файл"));
    const std::uint32_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const void* notAnItem = data;
    menu.root.children.push_back(reinterpret_cast<BridgeItem*>(&notAnItem));
    ExpectRangeError(Add(menu));
    menu.root.children.pop_back();  // not the menu's to delete
}

// Its own process (its own ctest entry): the flag is the process's, and this test must be
// the first to call AddMenuItems in it.
TEST(MenuFirstCallWithoutTrk, AddsNothingForTheRestOfTheProcess) {
    HMODULE module = LoadLibraryA(FUEL_DLL_FILE);
    ASSERT_NE(module, nullptr);
    TestHost line;
    DllSession dll;  // the same module, one reference more
    void* object = dll.Create(0, line.Object());

    BridgeMenu without;
    without.root.Add(Cp1251("&Файл"));
    without.root.Add(Cp1251("&Сервис"));
    EXPECT_FALSE(dll.AddMenuItems(object, &without.root, BridgeMenu::Factory()).raised);

    BridgeMenu with;
    with.root.Add(Cp1251("&ТРК"));
    EXPECT_FALSE(dll.AddMenuItems(object, &with.root, BridgeMenu::Factory()).raised);
    EXPECT_TRUE(without.calls.empty());
    EXPECT_TRUE(with.calls.empty());
    EXPECT_TRUE(with.root.children[0]->children.empty());
    FreeLibrary(module);
}

}  // namespace
}  // namespace fuel::test::win32
