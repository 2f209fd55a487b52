#include "platform/win32/NativeMenuEntry.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/NativeMenu.h"
#include "platform/win32/WideText.h"

namespace fuel::win32 {
namespace {

// A window whose procedure is ours, with the one it replaced. The window's character set is
// kept: an ANSI window stays ANSI, so its messages reach the host's procedure exactly as they
// came, with no conversion on the way.
struct Subclassed {
    HWND window;
    WNDPROC previous;
    bool unicode;
};

struct EntryState {
    DWORD thread = 0;
    std::wstring popupCaption;
    std::wstring itemCaption;
    EntryChosen chosen = nullptr;
    HHOOK hook = nullptr;
    std::vector<Subclassed> subclassed;
    HWND window = nullptr;  // where the entry is now
    HMENU popup = nullptr;
    UINT command = 0;  // chosen at the first placement
    bool updating = false;
    bool pinned = false;
};

// Made by the first call, never a static object: DllMain takes it apart at unloading, before
// the runtime's own clean-up would.
EntryState* state = nullptr;

LRESULT CALLBACK EntryWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

WNDPROC CurrentProcedure(const Subclassed& record) {
    return reinterpret_cast<WNDPROC>(record.unicode
                                         ? GetWindowLongPtrW(record.window, GWLP_WNDPROC)
                                         : GetWindowLongPtrA(record.window, GWLP_WNDPROC));
}

// Someone subclassed the window after us and calls our procedure as its previous one: we
// can no longer leave the chain, so the library must not leave memory either.
void StayLoaded() {
    if (state->pinned) {
        return;
    }
    HMODULE module = nullptr;
    state->pinned =
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&EntryWindowProcedure), &module) != FALSE;
}

bool Subclass(HWND window) {
    // A window we left earlier but could not take our procedure out of has it still.
    if (std::any_of(state->subclassed.begin(), state->subclassed.end(),
                    [&](const Subclassed& r) { return r.window == window; })) {
        return true;
    }
    const bool unicode = IsWindowUnicode(window) != FALSE;
    const auto ours = reinterpret_cast<LONG_PTR>(&EntryWindowProcedure);
    state->subclassed.reserve(state->subclassed.size() + 1);  // no failure after the swap
    SetLastError(0);
    const LONG_PTR previous = unicode ? SetWindowLongPtrW(window, GWLP_WNDPROC, ours)
                                      : SetWindowLongPtrA(window, GWLP_WNDPROC, ours);
    if (previous == 0 && GetLastError() != 0) {
        return false;
    }
    state->subclassed.push_back({window, reinterpret_cast<WNDPROC>(previous), unicode});
    return true;
}

// Gives the window its previous procedure back when ours is still the first; otherwise ours
// stays in the chain, forwarding (false).
bool Unsubclass(HWND window) {
    auto record = std::find_if(state->subclassed.begin(), state->subclassed.end(),
                               [&](const Subclassed& r) { return r.window == window; });
    if (record == state->subclassed.end()) {
        return true;
    }
    if (IsWindow(window) && CurrentProcedure(*record) != &EntryWindowProcedure) {
        return false;
    }
    if (IsWindow(window)) {
        const auto previous = reinterpret_cast<LONG_PTR>(record->previous);
        record->unicode ? SetWindowLongPtrW(window, GWLP_WNDPROC, previous)
                        : SetWindowLongPtrA(window, GWLP_WNDPROC, previous);
    }
    state->subclassed.erase(record);
    return true;
}

void RemoveEntry(HMENU popup) {
    const int position = PositionOf(popup, state->command, state->itemCaption);
    if (position >= 0) {
        DeleteMenu(popup, static_cast<UINT>(position), MF_BYPOSITION);
    }
}

UINT FreeCommand(HMENU bar) {
    for (UINT command = kPreferredEntryCommand; command > kPreferredEntryCommand - 256; --command) {
        if (!CommandInUse(bar, command)) {
            return command;
        }
    }
    return kPreferredEntryCommand;
}

// Puts the entry where it belongs now, if there is such a place yet.
void Update() {
    const MenuPlace place = FindPopupInThread(state->thread, state->popupCaption, state->window);
    if (place.popup == nullptr) {
        return;
    }
    if (place.window != state->window) {
        // The command must be handled before anyone can choose it.
        if (!Subclass(place.window)) {
            return;
        }
        if (state->window != nullptr) {
            Unsubclass(state->window);
        }
        state->window = place.window;
    }
    if (state->command == 0) {
        state->command = FreeCommand(GetMenu(place.window));
    }
    if (state->popup != nullptr && state->popup != place.popup) {
        RemoveEntry(state->popup);
    }
    state->popup = place.popup;
    if (PositionOf(place.popup, state->command, state->itemCaption) < 0) {
        AppendMenuW(place.popup, MF_STRING, state->command, state->itemCaption.c_str());
    }
}

void UpdateOnce() noexcept {
    if (state == nullptr || state->updating) {
        return;
    }
    state->updating = true;
    try {
        Update();
    } catch (...) {
        // Out of memory while looking: the next message tries again.
    }
    state->updating = false;
}

bool IsTopLevel(HWND window) {
    return (GetWindowLongW(window, GWL_STYLE) & WS_CHILD) == 0;
}

// The messages after which a menu may have appeared or changed: a window made, its frame
// (menu bar included) recalculated or redrawn, shown or activated; and a menu about to
// open, after the host's own preparation of it (which may have rebuilt it).
bool MayHaveChangedMenus(const CWPRETSTRUCT& sent) {
    switch (sent.message) {
        case WM_INITMENU:
        case WM_INITMENUPOPUP:
            return true;
        case WM_CREATE:
        case WM_NCCALCSIZE:
        case WM_WINDOWPOSCHANGED:
        case WM_SHOWWINDOW:
        case WM_ACTIVATE:
            return IsTopLevel(sent.hwnd);
        default:
            return false;
    }
}

LRESULT CALLBACK AfterWindowProcedure(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && state != nullptr &&
        MayHaveChangedMenus(*reinterpret_cast<const CWPRETSTRUCT*>(lParam))) {
        UpdateOnce();
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK EntryWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (state == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    const auto record = std::find_if(state->subclassed.begin(), state->subclassed.end(),
                                     [&](const Subclassed& r) { return r.window == window; });
    if (record == state->subclassed.end()) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    const Subclassed self = *record;  // the list may change while the message is handled
    if (CurrentProcedure(self) != &EntryWindowProcedure) {
        StayLoaded();
    }
    if (message == WM_COMMAND && lParam == 0 && HIWORD(wParam) == 0 && state->command != 0 &&
        LOWORD(wParam) == state->command) {
        state->chosen(window);
        return 0;
    }
    const LRESULT result = self.unicode
                               ? CallWindowProcW(self.previous, window, message, wParam, lParam)
                               : CallWindowProcA(self.previous, window, message, wParam, lParam);
    if (message == WM_NCDESTROY && state != nullptr) {
        Unsubclass(window);
        if (state->window == window) {
            state->window = nullptr;
        }
    }
    return result;
}

}  // namespace

void KeepNativeMenuEntry(std::string_view popupCaption, std::string_view itemCaption,
                         EntryChosen chosen) {
    if (state != nullptr) {
        return;
    }
    auto made = std::make_unique<EntryState>();
    made->thread = GetCurrentThreadId();
    made->popupCaption = Wide(popupCaption);
    made->itemCaption = Wide(itemCaption);
    made->chosen = chosen;
    state = made.release();
    state->hook =
        SetWindowsHookExW(WH_CALLWNDPROCRET, &AfterWindowProcedure, nullptr, state->thread);
    UpdateOnce();
}

void StopNativeMenuEntry() noexcept {
    if (state == nullptr) {
        return;
    }
    if (state->hook != nullptr) {
        UnhookWindowsHookEx(state->hook);
        state->hook = nullptr;
    }
    if (state->popup != nullptr && state->command != 0) {
        RemoveEntry(state->popup);
        state->popup = nullptr;
    }
    state->command = 0;  // nothing is handled any more
    // Downwards: taking a window out of the list leaves the ones before it where they are.
    for (std::size_t index = state->subclassed.size(); index-- > 0;) {
        Unsubclass(state->subclassed[index].window);
    }
    // A window that still calls our procedure needs its record to forward to.
    if (state->subclassed.empty()) {
        delete state;
        state = nullptr;
    }
}

}  // namespace fuel::win32
