#include "platform/win32/NativeMenu.h"

#include <string>

namespace fuel::win32 {
namespace {

// Popups nest only as deep as a person can follow; the bound keeps a menu that contains
// itself from recursing without end.
constexpr int kMaxMenuDepth = 16;

std::wstring ItemCaption(HMENU menu, int position) {
    // One character more than any caption compared with, so that a longer one never passes
    // for its beginning.
    wchar_t text[64] = {};
    const int length = GetMenuStringW(menu, static_cast<UINT>(position), text, 64, MF_BYPOSITION);
    return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

bool InUse(HMENU menu, UINT command, int depth) {
    if (depth > kMaxMenuDepth) {
        return false;
    }
    const int count = GetMenuItemCount(menu);
    for (int position = 0; position < count; ++position) {
        if (HMENU popup = GetSubMenu(menu, position)) {
            if (InUse(popup, command, depth + 1)) {
                return true;
            }
        } else if (GetMenuItemID(menu, position) == command) {
            return true;
        }
    }
    return false;
}

struct ThreadSearch {
    std::wstring_view caption;
    MenuPlace found;
};

BOOL CALLBACK SearchWindow(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<ThreadSearch*>(context);
    if (HMENU popup = FindPopup(window, search.caption)) {
        search.found = {window, popup};
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HMENU FindPopup(HWND window, std::wstring_view caption) {
    if (window == nullptr || (GetWindowLongW(window, GWL_STYLE) & WS_CHILD) != 0) {
        return nullptr;
    }
    HMENU bar = GetMenu(window);
    if (bar == nullptr || !IsMenu(bar)) {
        return nullptr;
    }
    const int count = GetMenuItemCount(bar);
    for (int position = 0; position < count; ++position) {
        HMENU popup = GetSubMenu(bar, position);
        if (popup != nullptr && ItemCaption(bar, position) == caption) {
            return popup;
        }
    }
    return nullptr;
}

MenuPlace FindPopupInThread(DWORD thread, std::wstring_view caption, HWND preferred) {
    if (preferred != nullptr && GetWindowThreadProcessId(preferred, nullptr) == thread) {
        if (HMENU popup = FindPopup(preferred, caption)) {
            return {preferred, popup};
        }
    }
    ThreadSearch search{caption, {}};
    EnumThreadWindows(thread, &SearchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int PositionOf(HMENU menu, UINT command, std::wstring_view caption) {
    if (menu == nullptr || !IsMenu(menu)) {
        return -1;
    }
    const int count = GetMenuItemCount(menu);
    for (int position = 0; position < count; ++position) {
        if (GetSubMenu(menu, position) == nullptr && GetMenuItemID(menu, position) == command &&
            ItemCaption(menu, position) == caption) {
            return position;
        }
    }
    return -1;
}

bool CommandInUse(HMENU menu, UINT command) {
    return menu != nullptr && IsMenu(menu) && InUse(menu, command, 0);
}

}  // namespace fuel::win32
