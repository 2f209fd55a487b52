#include "platform/win32/MenuEntry.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "driver/Exceptions.h"
#include "driver/TVM30.h"
#include "driver/Text1251.h"
#include "platform/win32/Boundary.h"
#include "platform/win32/MenuBridge.h"
#include "platform/win32/MenuRoot.h"
#include "platform/win32/NativeMenuEntry.h"
#include "platform/win32/ServiceTool.h"
#include "platform/win32/WideText.h"

namespace fuel::win32 {
namespace {

// Set when the library is loaded; taken by the first call that gets as far as the menu.
std::atomic<bool> menuPending{true};

constexpr char kHostMenuCaption[] = "&ТРК";
int clickTarget = 0;
constexpr char kItemCaption[] = "Программирование параметров (Варно)";

// The host calls it when the technician picks the item; the dialog opens on the driver object
// the library made last, whichever object added the item.
void __stdcall ProgrammingMenuClick(void* handlerObject, void* sender) {
    (void)handlerObject;
    (void)sender;
    if (!Capture([] { OpenProgrammingDialog(LibraryDriver()); })) {
        RaisePendingFailure();
    }
}

// The same for the entry in the host's native menu. The library's own window procedure runs
// it, with no frame of the host's in between that would show a failure to the person, so a
// failure is shown the way the tool shows its own.
void NativeMenuChosen(HWND window) {
    std::string failure;
    try {
        OpenProgrammingDialog(LibraryDriver());
        return;
    } catch (const std::exception& error) {
        failure = error.what();
    } catch (...) {
        failure = "Exception";
    }
    try {
        MessageBoxW(window, Wide(failure + " ").c_str(), L"Error", MB_OK | MB_ICONERROR);
    } catch (...) {
        // No memory even for the text: nothing more to show.
    }
}

// The host's "&ТРК" menu among the root's direct children, through the menu bridge.
void* FindHostMenu(BridgeMenuItem& root) {
    const std::string wanted = Utf8ToCp1251(kHostMenuCaption);
    const std::int32_t count = root.Count();
    for (std::int32_t i = 0; i < count; ++i) {
        void* const item = root.Item(i);
        if (BridgeMenuItem(item).Caption() == wanted) {  // a null child is refused here
            return item;
        }
    }
    return nullptr;
}

void AddThroughBridge(void* rootItem, void* itemFactory) {
    BridgeMenuItem root(rootItem);
    void* const hostMenu = FindHostMenu(root);
    if (hostMenu == nullptr) {
        return;
    }
    BridgeMenuItem item(CreateBridgeMenuItem(itemFactory, hostMenu, -1));
    const std::string caption = Utf8ToCp1251(kItemCaption);
    item.SetCaption(caption);
    item.SetHint(caption);
    item.SetHelpContext(0);
    item.SetShortCut(0);
    // The handler needs no object of its own; a host may still take a method pointer without
    // one for no handler at all, so it gets the library's marker.
    item.SetOnClick(&ProgrammingMenuClick, &clickTarget);
}

}  // namespace

bool MenuPending() {
    return menuPending.load();
}

void AddProgrammingMenuItem(void* rootItem, void* itemFactory) {
    if (rootItem == nullptr || itemFactory == nullptr) {
        throw ERangeError();
    }
    if (!menuPending.exchange(false)) {
        return;
    }
    switch (ClassifyMenuRoot(rootItem)) {
        case MenuRootKind::BridgeItem:
            AddThroughBridge(rootItem, itemFactory);
            break;
        case MenuRootKind::RuntimeMenuItem:
            // Neither the item nor the runtime's factory can be called from here.
            KeepNativeMenuEntry(kHostMenuCaption, kItemCaption, &NativeMenuChosen);
            break;
        case MenuRootKind::Unrecognised:
            // Calling into it could only crash the host; its menu stays as it is.
            break;
    }
}

}  // namespace fuel::win32
