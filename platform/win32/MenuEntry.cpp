#include "platform/win32/MenuEntry.h"

#include <atomic>
#include <string>

#include "driver/Exceptions.h"
#include "driver/TVM30.h"
#include "driver/Text1251.h"
#include "platform/win32/Boundary.h"
#include "platform/win32/MenuBridge.h"
#include "platform/win32/ServiceTool.h"

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
    // Only the bridge's items are known so far; a host that hands over its own runtime's
    // menu objects is to be recognised here, before anything is called on them.
    AddThroughBridge(rootItem, itemFactory);
}

}  // namespace fuel::win32
