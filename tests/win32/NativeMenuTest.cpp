// AddMenuItems with the host's own runtime menu objects: the root is a fake runtime menu item
// whose every routine is a trap, the factory too; the entry must appear in the native menu
// bar of the host's window (made before or after the call, rebuilt afterwards) and open the
// programming dialog, and a root that is neither kind must leave everything alone. Each test
// loads the library afresh, so each starts with the menu-pending flag set as at a load.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "tests/win32/BridgeMenu.h"
#include "tests/win32/DialogDriver.h"
#include "tests/win32/DllSession.h"
#include "tests/win32/EmulatedHost.h"
#include "tests/win32/HostWindow.h"
#include "tests/win32/MessagePump.h"
#include "tests/win32/RuntimeObjects.h"
#include "tests/win32/Scene.h"

namespace fuel::test::win32 {
namespace {

using Items = std::vector<std::string>;

const std::string kEntry = "Программирование параметров (Варно)";
constexpr char kDialogCaption[] = "Программирование параметров ТРК";

HMENU StandardBar() {
    return MakeMenuBar({{"&Файл", {"Открыть", "Выход"}}, {"&ТРК", {"Пуск", "Стоп"}}});
}

// The entry's command, as the menu sends it when the entry is chosen; true when the
// programming dialog opened (a person closes it again at once).
bool ChoosingOpensTheDialog(HWND window, UINT command) {
    DialogDriver person(GetCurrentThreadId(), 60s);
    bool opened = false;
    std::atomic<bool> done{false};
    std::thread closer([&] {
        HWND dialog = person.WaitForWindow(kDialogCaption);
        opened = dialog != nullptr;
        if (opened) {
            DialogDriver::Click(DialogDriver::ButtonCalled(dialog, "Выход"));
        }
        if (!person.WaitUntilGone(kDialogCaption)) {
            person.CloseEverything();
        }
        done = true;
    });
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(command, 0), 0);
    JoinAnswering(closer, done);
    return opened;
}

UINT LastCommand(HMENU popup) {
    return GetMenuItemID(popup, GetMenuItemCount(popup) - 1);
}

class NativeMenu : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetTraps();
        WriteCatalogue();
        dll_.emplace();
        ASSERT_TRUE(dll_->Loaded());
        object_ = dll_->Create(0, line_.Object());
        ASSERT_NE(object_, nullptr);
    }
    void TearDown() override { EXPECT_EQ(TrapCalls(), 0) << "the runtime object was called"; }

    GuardedOutcome Add(const void* root) {
        return dll_->AddMenuItems(object_, root, TrapRoutine());
    }
    void ExpectAdded(const void* root) {
        const GuardedOutcome outcome = Add(root);
        EXPECT_FALSE(outcome.raised) << outcome.className << " " << std::hex << outcome.code;
    }

    emulator::Emulator bus_{SceneBus()};
    EmulatedHost line_{bus_};
    std::optional<DllSession> dll_;
    void* object_ = nullptr;
    RuntimeHierarchy classes_{RuntimeLayout::Newer,
                              {"TObject", "TPersistent", "TComponent", "TMenuItem", "THostItem"}};
    RuntimeObject root_{classes_.Leaf()};
};

struct WindowKind {
    const char* name;
    RuntimeLayout layout;
    Charset charset;
};

class NativeMenuOfAWindow : public NativeMenu, public ::testing::WithParamInterface<WindowKind> {};

TEST_P(NativeMenuOfAWindow, GetsTheEntryWhichOpensTheDialogAndGoesWithTheLibrary) {
    RuntimeHierarchy classes(GetParam().layout, {"TObject", "TComponent", "TMenuItem", "TItem"});
    const RuntimeObject root(classes.Leaf());
    HostWindow host(StandardBar(), GetParam().charset);
    HMENU trk = PopupCaptioned(host.Handle(), "&ТРК");
    HMENU file = PopupCaptioned(host.Handle(), "&Файл");

    ExpectAdded(&root);
    EXPECT_EQ(Captions(trk), (Items{"Пуск", "Стоп", kEntry}));
    EXPECT_EQ(Captions(file), (Items{"Открыть", "Выход"}));
    const UINT command = LastCommand(trk);
    for (UINT hostCommand = 100; hostCommand < 104; ++hostCommand) {
        EXPECT_NE(command, hostCommand);
    }

    // Everything else reaches the host's procedure as it was sent, in the window's own
    // character set.
    SendMessageW(host.Handle(), WM_COMMAND, MAKEWPARAM(101, 0), 0);
    EXPECT_TRUE(host.SawCommand(101));
    EXPECT_EQ(SendMessageW(host.Handle(), kHostQuery, 0x1234, 0x5678), kHostAnswer);
    EXPECT_EQ(host.Seen().back().wParam, 0x1234u);
    EXPECT_EQ(host.Seen().back().lParam, 0x5678);
    std::string sentText;
    if (GetParam().charset == Charset::Ansi) {
        sentText = Cp1251("Станция");
        SendMessageA(host.Handle(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(sentText.c_str()));
    } else {
        const wchar_t text[] = L"Станция";
        sentText.assign(reinterpret_cast<const char*>(text), sizeof text - sizeof(wchar_t));
        SendMessageW(host.Handle(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }
    EXPECT_EQ(host.Seen().back().text, sentText);
    EXPECT_EQ(IsWindowUnicode(host.Handle()) != FALSE, GetParam().charset == Charset::Unicode);

    // Later calls change nothing, whatever they pass.
    ExpectAdded(&root);
    BridgeMenu bridge;
    bridge.root.Add(Cp1251("&ТРК"));
    EXPECT_FALSE(dll_->AddMenuItems(object_, &bridge.root, BridgeMenu::Factory()).raised);
    EXPECT_TRUE(bridge.calls.empty());
    EXPECT_EQ(Captions(trk), (Items{"Пуск", "Стоп", kEntry}));

    EXPECT_TRUE(ChoosingOpensTheDialog(host.Handle(), command));
    EXPECT_FALSE(host.SawCommand(command));

    // Unloaded, the library leaves the window and its menu as it found them.
    dll_.reset();
    EXPECT_EQ(Captions(trk), (Items{"Пуск", "Стоп"}));
    EXPECT_EQ(host.CurrentProcedure(), host.OwnProcedure());
    EXPECT_EQ(SendMessageW(host.Handle(), kHostQuery, 0, 0), kHostAnswer);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NativeMenuOfAWindow,
                         ::testing::Values(WindowKind{"OlderRuntimeAnsiWindow",
                                                      RuntimeLayout::Older, Charset::Ansi},
                                           WindowKind{"NewerRuntimeUnicodeWindow",
                                                      RuntimeLayout::Newer, Charset::Unicode}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NativeMenu, AWindowMadeAfterTheCallGetsTheEntryAsItAppears) {
    ExpectAdded(&root_);
    HostWindow host(StandardBar());
    HMENU trk = PopupCaptioned(host.Handle(), "&ТРК");
    EXPECT_EQ(Captions(trk), (Items{"Пуск", "Стоп", kEntry}));
    EXPECT_TRUE(ChoosingOpensTheDialog(host.Handle(), LastCommand(trk)));
}

TEST_F(NativeMenu, AMenuCompletedLaterHasTheEntryBeforeItOpens) {
    HostWindow host(nullptr);
    ExpectAdded(&root_);
    HMENU bar = MakeMenuBar({{"&Файл", {"Открыть"}}});
    SetMenu(host.Handle(), bar);
    // The host adds its dispenser menu without redrawing the bar; the person opens the bar.
    HMENU trk = MakePopup({"Пуск"});
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(trk), L"&ТРК");
    SendMessageW(host.Handle(), WM_INITMENU, reinterpret_cast<WPARAM>(bar), 0);
    EXPECT_EQ(Captions(trk), (Items{"Пуск", kEntry}));
    EXPECT_EQ(Captions(PopupCaptioned(host.Handle(), "&Файл")), (Items{"Открыть"}));
}

TEST_F(NativeMenu, ARebuiltMenuGetsTheEntryBackOnceOnly) {
    HostWindow host(StandardBar());
    ExpectAdded(&root_);
    HMENU trk = PopupCaptioned(host.Handle(), "&ТРК");
    const UINT command = LastCommand(trk);

    // The host empties the popup and fills it anew as it is about to show it.
    while (GetMenuItemCount(trk) > 0) {
        DeleteMenu(trk, 0, MF_BYPOSITION);
    }
    AppendMenuW(trk, MF_STRING, 300, L"Пуск");
    AppendMenuW(trk, MF_STRING, 301, L"Сброс");
    SendMessageW(host.Handle(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(trk), MAKELPARAM(1, 0));
    EXPECT_EQ(Captions(trk), (Items{"Пуск", "Сброс", kEntry}));

    // A new popup in place of the old one (which goes with it), the bar redrawn.
    HMENU fresh = MakePopup({"Пуск"});
    ModifyMenuW(GetMenu(host.Handle()), 1, MF_BYPOSITION | MF_POPUP,
                reinterpret_cast<UINT_PTR>(fresh), L"&ТРК");
    DrawMenuBar(host.Handle());
    EXPECT_EQ(Captions(fresh), (Items{"Пуск", kEntry}));

    // A whole new bar: the entry moves, and the old bar keeps none.
    HMENU old = GetMenu(host.Handle());
    SetMenu(host.Handle(), MakeMenuBar({{"&ТРК", {"Стоп"}}, {"&Файл", {}}}));
    EXPECT_EQ(Captions(PopupCaptioned(host.Handle(), "&ТРК")), (Items{"Стоп", kEntry}));
    EXPECT_EQ(Captions(fresh), (Items{"Пуск"}));
    DestroyMenu(old);

    EXPECT_EQ(LastCommand(PopupCaptioned(host.Handle(), "&ТРК")), command);
    EXPECT_TRUE(ChoosingOpensTheDialog(host.Handle(), command));
}

// Roots that are neither a runtime menu item nor a bridge item.
struct Neither {
    const char* name;
    const void* (*make)();
};

const void* UnreadablePage() {
    static void* page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    return page;
}

const void* RandomBytes() {
    static std::uint32_t bytes[16] = {0x9E3779B9, 0x7F4A7C15, 0xF39CC060, 0x5CEDC834,
                                      0x2545F491, 0x4F6CDD1D, 0xD1B54A32, 0xA0761D64};
    return bytes;
}

const void* RandomTable() {
    static std::uint32_t table[16] = {0x13198A2E, 0x03707344, 0xA4093822, 0x299F31D0,
                                      0x082EFA98, 0xEC4E6C89, 0x452821E6, 0x38D01377};
    static const void* object = table;
    return &object;
}

const void* OtherRuntimeObject() {
    static RuntimeHierarchy classes(RuntimeLayout::Older, {"TObject", "TComponent", "TButton"});
    static RuntimeObject object(classes.Leaf());
    return &object;
}

class NeitherRoot : public NativeMenu, public ::testing::WithParamInterface<Neither> {};

TEST_P(NeitherRoot, LeavesEveryMenuAloneForTheRestOfTheLoad) {
    HostWindow host(StandardBar());
    HMENU trk = PopupCaptioned(host.Handle(), "&ТРК");
    ExpectAdded(GetParam().make());
    EXPECT_EQ(Captions(trk), (Items{"Пуск", "Стоп"}));

    // The call took the menu's turn: neither kind of root adds anything now.
    BridgeMenu bridge;
    bridge.root.Add(Cp1251("&ТРК"));
    EXPECT_FALSE(dll_->AddMenuItems(object_, &bridge.root, BridgeMenu::Factory()).raised);
    ExpectAdded(&root_);
    SendMessageW(host.Handle(), WM_INITMENU, reinterpret_cast<WPARAM>(GetMenu(host.Handle())), 0);
    EXPECT_TRUE(bridge.calls.empty());
    EXPECT_EQ(Captions(trk), (Items{"Пуск", "Стоп"}));
}

INSTANTIATE_TEST_SUITE_P(Roots, NeitherRoot,
                         ::testing::Values(Neither{"UnreadablePointer", &UnreadablePage},
                                           Neither{"RandomBytes", &RandomBytes},
                                           Neither{"TableOfRandomBytes", &RandomTable},
                                           Neither{"RuntimeObjectThatIsNoMenuItem",
                                                   &OtherRuntimeObject}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fuel::test::win32
