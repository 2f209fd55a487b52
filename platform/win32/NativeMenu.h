// Looking into a window's native menu bar: its popups by caption, and items by command.
#pragma once

#include <windows.h>

#include <string_view>

namespace fuel::win32 {

// The first popup of window's menu bar whose caption is exactly caption (ampersands
// included), or nullptr: for a window without a menu bar (a child's "menu" is its control
// ID and does not count) or without such a popup.
HMENU FindPopup(HWND window, std::wstring_view caption);

// The first top-level window of thread (in the system's order), preferring `preferred`,
// whose menu bar has such a popup; {nullptr, nullptr} when none has.
struct MenuPlace {
    HWND window = nullptr;
    HMENU popup = nullptr;
};
MenuPlace FindPopupInThread(DWORD thread, std::wstring_view caption, HWND preferred);

// The position of the item of menu (its own items only, not those of its popups) with this
// command and caption, or -1.
int PositionOf(HMENU menu, UINT command, std::wstring_view caption);

// Whether some item of menu or of a popup below it carries command.
bool CommandInUse(HMENU menu, UINT command);

}  // namespace fuel::win32
