#include "tests/win32/HostWindow.h"

#include <cstring>

#include "platform/win32/WideText.h"

namespace fuel::test::win32 {
namespace {

using fuel::win32::Utf8;
using fuel::win32::Wide;

constexpr char kClassA[] = "FuelTestHostA";
constexpr wchar_t kClassW[] = L"FuelTestHostW";

HostWindow* Owner(HWND window) {
    return reinterpret_cast<HostWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void AppendItems(HMENU menu, const std::vector<std::string>& items, UINT firstCommand) {
    UINT command = firstCommand;
    for (const std::string& item : items) {
        AppendMenuW(menu, MF_STRING, command++, Wide(item).c_str());
    }
}

}  // namespace

HMENU MakePopup(const std::vector<std::string>& items, UINT firstCommand) {
    HMENU popup = CreatePopupMenu();
    AppendItems(popup, items, firstCommand);
    return popup;
}

HMENU MakeMenuBar(const std::vector<PopupItems>& popups) {
    HMENU bar = CreateMenu();
    UINT command = 100;
    for (const PopupItems& wanted : popups) {
        HMENU popup = MakePopup(wanted.items, command);
        command += static_cast<UINT>(wanted.items.size());
        AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), Wide(wanted.caption).c_str());
    }
    return bar;
}

HMENU PopupCaptioned(HWND window, const std::string& caption) {
    HMENU bar = GetMenu(window);
    const std::vector<std::string> captions = Captions(bar);
    for (std::size_t i = 0; i < captions.size(); ++i) {
        if (captions[i] == caption) {
            return GetSubMenu(bar, static_cast<int>(i));
        }
    }
    return nullptr;
}

std::vector<std::string> Captions(HMENU menu) {
    std::vector<std::string> captions;
    const int count = menu != nullptr ? GetMenuItemCount(menu) : 0;
    for (int i = 0; i < count; ++i) {
        wchar_t text[128] = {};
        GetMenuStringW(menu, static_cast<UINT>(i), text, 128, MF_BYPOSITION);
        captions.push_back(Utf8(text));
    }
    return captions;
}

HostWindow::HostWindow(HMENU bar, Charset charset) : charset_(charset) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (charset == Charset::Ansi) {
        WNDCLASSA type{};
        type.lpfnWndProc = &Procedure;
        type.hInstance = instance;
        type.lpszClassName = kClassA;
        RegisterClassA(&type);  // fails harmlessly when it exists
        window_ = CreateWindowExA(0, kClassA, "Host", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr,
                                  bar, instance, this);
    } else {
        WNDCLASSW type{};
        type.lpfnWndProc = &Procedure;
        type.hInstance = instance;
        type.lpszClassName = kClassW;
        RegisterClassW(&type);
        window_ = CreateWindowExW(0, kClassW, L"Host", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr,
                                  bar, instance, this);
    }
}

HostWindow::~HostWindow() {
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
}

WNDPROC HostWindow::OwnProcedure() const {
    return &Procedure;
}

WNDPROC HostWindow::CurrentProcedure() const {
    return reinterpret_cast<WNDPROC>(charset_ == Charset::Ansi
                                         ? GetWindowLongPtrA(window_, GWLP_WNDPROC)
                                         : GetWindowLongPtrW(window_, GWLP_WNDPROC));
}

bool HostWindow::SawCommand(UINT command) const {
    for (const Received& received : seen_) {
        if (received.message == WM_COMMAND && LOWORD(received.wParam) == command) {
            return true;
        }
    }
    return false;
}

LRESULT CALLBACK HostWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        // The creation parameter sits at the same place in both character sets' structures.
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    HostWindow* self = Owner(window);
    const bool ansi = self != nullptr ? self->charset_ == Charset::Ansi : false;
    if (self != nullptr &&
        (message == WM_COMMAND || message == kHostQuery || message == WM_SETTEXT)) {
        Received received{message, wParam, lParam, {}};
        if (message == WM_SETTEXT && lParam != 0) {
            const auto* text = reinterpret_cast<const char*>(lParam);
            const std::size_t size =
                ansi ? std::strlen(text)
                     : std::wcslen(reinterpret_cast<const wchar_t*>(text)) * sizeof(wchar_t);
            received.text.assign(text, size);
        }
        self->seen_.push_back(received);
        if (message == kHostQuery) {
            return kHostAnswer;
        }
    }
    return ansi ? DefWindowProcA(window, message, wParam, lParam)
                : DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace fuel::test::win32
