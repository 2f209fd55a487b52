#include "tests/win32/DialogDriver.h"

#include <commctrl.h>

#include <thread>
#include <vector>

#include "platform/win32/WideText.h"

namespace fuel::test::win32 {
namespace {

using fuel::win32::Utf8;
using fuel::win32::Wide;

BOOL CALLBACK CollectWindow(HWND window, LPARAM found) {
    reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
    return TRUE;
}

std::vector<HWND> ThreadWindows(DWORD thread) {
    std::vector<HWND> windows;
    EnumThreadWindows(thread, &CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// A top-level window's caption, read without a message to its thread.
std::string Caption(HWND window) {
    wchar_t text[512] = {};
    InternalGetWindowText(window, text, 512);
    return Utf8(text);
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

HWND Parent(HWND control) {
    return GetParent(control);
}

// Every message to the dialog's thread has a time limit: a thread that has left its message
// loops (its dialog closed meanwhile) would otherwise hold this one for ever.
LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 30000, &result) == 0) {
        return 0;
    }
    return static_cast<LRESULT>(result);
}

}  // namespace

bool DialogDriver::WaitFor(const std::function<bool()>& condition) const {
    const auto deadline = std::chrono::steady_clock::now() + patience_;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

HWND DialogDriver::WaitForWindow(std::string_view caption, const wchar_t* windowClass) const {
    HWND found = nullptr;
    WaitFor([&] {
        for (HWND window : ThreadWindows(uiThread_)) {
            if (IsWindowVisible(window) && Caption(window) == caption &&
                (windowClass == nullptr || ClassOf(window) == windowClass)) {
                found = window;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool DialogDriver::WaitUntilGone(std::string_view caption) const {
    return WaitFor([&] {
        for (HWND window : ThreadWindows(uiThread_)) {
            if (IsWindowVisible(window) && Caption(window) == caption) {
                return false;
            }
        }
        return true;
    });
}

struct ControlSearch {
    HWND dialog;
    POINT at;
    HWND found;
};

BOOL CALLBACK MatchCorner(HWND child, LPARAM context) {
    auto& search = *reinterpret_cast<ControlSearch*>(context);
    if (ClassOf(child) == L"msctls_updown32" || GetParent(child) != search.dialog) {
        return TRUE;
    }
    RECT rect{};
    GetWindowRect(child, &rect);
    POINT corner{rect.left, rect.top};
    ScreenToClient(search.dialog, &corner);
    if (corner.x == search.at.x && corner.y == search.at.y) {
        search.found = child;
        return FALSE;
    }
    return TRUE;
}

HWND DialogDriver::ControlAt(HWND dialog, int x, int y) {
    ControlSearch search{dialog, {x, y}, nullptr};
    EnumChildWindows(dialog, &MatchCorner, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND DialogDriver::ButtonCalled(HWND dialog, std::string_view caption) {
    return FindWindowExW(dialog, nullptr, L"Button", Wide(caption).c_str());
}

std::string DialogDriver::Text(HWND window) {
    wchar_t text[512] = {};
    Send(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return Utf8(text);
}

bool DialogDriver::Checked(HWND button) {
    return Send(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void DialogDriver::Click(HWND button) {
    Send(button, BM_CLICK, 0, 0);
}

void DialogDriver::PostClick(HWND button) {
    PostMessageW(button, BM_CLICK, 0, 0);
}

void DialogDriver::Type(HWND edit, std::string_view text) {
    Send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
    // As a keystroke does, whether or not WM_SETTEXT told the dialog already.
    Send(Parent(edit), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(edit), EN_CHANGE),
         reinterpret_cast<LPARAM>(edit));
}

struct ArrowSearch {
    HWND edit;
    HWND found;
};

BOOL CALLBACK MatchBuddy(HWND child, LPARAM context) {
    auto& search = *reinterpret_cast<ArrowSearch*>(context);
    if (ClassOf(child) == L"msctls_updown32" &&
        reinterpret_cast<HWND>(Send(child, UDM_GETBUDDY, 0, 0)) == search.edit) {
        search.found = child;
        return FALSE;
    }
    return TRUE;
}

void DialogDriver::Spin(HWND edit, bool up) {
    ArrowSearch search{edit, nullptr};
    EnumChildWindows(Parent(edit), &MatchBuddy, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) {
        return;
    }
    RECT arrows{};
    GetClientRect(search.found, &arrows);
    const LPARAM at = MAKELPARAM(arrows.right / 2, up ? arrows.bottom / 4 : arrows.bottom * 3 / 4);
    Send(search.found, WM_LBUTTONDOWN, MK_LBUTTON, at);
    Send(search.found, WM_LBUTTONUP, 0, at);
}

void DialogDriver::Choose(HWND comboBox, int index) {
    Send(comboBox, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    Send(Parent(comboBox), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(comboBox), CBN_SELCHANGE),
         reinterpret_cast<LPARAM>(comboBox));
}

int DialogDriver::Selection(HWND comboBox) {
    return static_cast<int>(Send(comboBox, CB_GETCURSEL, 0, 0));
}

int DialogDriver::Count(HWND comboBox) {
    return static_cast<int>(Send(comboBox, CB_GETCOUNT, 0, 0));
}

std::string DialogDriver::Item(HWND comboBox, int index) {
    wchar_t text[512] = {};
    if (Send(comboBox, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0) >= 512) {
        return {};
    }
    Send(comboBox, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return Utf8(text);
}

std::string DialogDriver::BoxText(HWND box) {
    std::string text;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == L"Static") {
            text += Text(child);
        }
    }
    return text;
}

int DialogDriver::DefaultButton(HWND box) {
    for (const int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
        HWND button = GetDlgItem(box, id);
        if (button != nullptr &&
            (GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            return id;
        }
    }
    return 0;
}

void DialogDriver::Answer(HWND box, int button) {
    HWND control = GetDlgItem(box, button);
    if (control != nullptr) {
        Send(control, BM_CLICK, 0, 0);
    } else {
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    }
}

void DialogDriver::CloseEverything() const {
    for (int round = 0; round < 50; ++round) {
        bool any = false;
        for (HWND window : ThreadWindows(uiThread_)) {
            if (IsWindowVisible(window)) {
                any = true;
                if (ClassOf(window) == L"#32770") {
                    // A Yes/No box takes no WM_CLOSE: it is answered No.
                    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
                    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                }
                PostMessageW(window, WM_CLOSE, 0, 0);
            }
        }
        if (!any) {
            return;
        }
        std::this_thread::sleep_for(200ms);
    }
}

}  // namespace fuel::test::win32
