// The host's menu as the driver reaches it: menu items that the host wraps in a small table of
// stdcall routines (the item first), and the host's factory of new items. Every call into the
// host runs under the structured-exception guard: whatever a host routine raises comes back
// as a HostFault and leaves the driver, at its boundary, as it came.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fuel::win32 {

class BridgeMenuItem {
  public:
    // The click handler as the host calls it: (handler object, sender item), stdcall.
    using ClickRoutine = void(__stdcall*)(void* object, void* sender);

    explicit BridgeMenuItem(void* item);  // ERangeError for a null item

    // Each call is an ERangeError when the item's table cannot be read or its entry is not
    // the address of code; whatever the routine raises comes back as a HostFault.

    std::int32_t Count();
    void* Item(std::int32_t index);
    std::string Caption();  // Windows-1251, as the host keeps it
    void SetCaption(std::string_view cp1251);
    void SetHint(std::string_view cp1251);
    void SetHelpContext(std::int32_t context);
    void SetShortCut(std::int32_t shortcut);
    void SetOnClick(ClickRoutine routine, void* object);

    enum Entry : int {
        kGetCount = 0,
        kGetItem = 1,
        kGetCaption = 2,
        kSetCaption = 3,
        kSetHint = 4,
        kSetHelpContext = 5,
        kSetShortCut = 6,
        kSetOnClick = 7,
    };

  private:
    template <typename Result, typename... Arguments>
    Result Call(Entry entry, Arguments... arguments);

    void* item_;
};

// The host's factory: a new item under parent at position (-1: at the end). ERangeError when
// it gives none.
void* CreateBridgeMenuItem(void* factory, void* parent, std::int32_t position);

}  // namespace fuel::win32
