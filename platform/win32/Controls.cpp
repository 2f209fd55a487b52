#include "platform/win32/Controls.h"

#include "platform/win32/WideText.h"

namespace fuel::win32 {

HWND CreateChild(HWND parent, const wchar_t* windowClass, std::string_view text, DWORD style,
                 DWORD exStyle, const Placement& place, int id, HFONT font) {
    HWND child = CreateWindowExW(
        exStyle, windowClass, Wide(text).c_str(), style | WS_CHILD, place.x, place.y, place.width,
        place.height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
        reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE)), nullptr);
    if (child != nullptr && font != nullptr) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    return child;
}

void Window::SetStyle(DWORD style, bool on) {
    const LONG_PTR current = GetWindowLongPtrW(handle_, GWL_STYLE);
    const LONG_PTR wanted =
        on ? (current | static_cast<LONG_PTR>(style)) : (current & ~static_cast<LONG_PTR>(style));
    if (wanted != current) {
        SetWindowLongPtrW(handle_, GWL_STYLE, wanted);
    }
}

std::string Window::Text() const {
    const int length = GetWindowTextLengthW(handle_);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(handle_, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return Utf8(text);
}

void Window::SetText(std::string_view utf8) {
    if (Text() != utf8) {
        SetWindowTextW(handle_, Wide(utf8).c_str());
    }
}

void ComboBoxWindow::Add(std::string_view utf8) {
    const std::wstring text = Wide(utf8);
    SendMessageW(handle_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::string ComboBoxWindow::Item(int index) const {
    const LRESULT length = SendMessageW(handle_, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(handle_, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return Utf8(text);
}

namespace {

TTTOOLINFOW ToolInfo(HWND owner, HWND tool, std::wstring& text) {
    TTTOOLINFOW info{};
    info.cbSize = sizeof info;
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = owner;
    info.uId = reinterpret_cast<UINT_PTR>(tool);
    info.lpszText = text.data();
    return info;
}

}  // namespace

void ToolTipWindow::Add(HWND owner, HWND tool, std::string_view utf8) {
    std::wstring text = Wide(utf8);
    TTTOOLINFOW info = ToolInfo(owner, tool, text);
    SendMessageW(handle_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
}

void ToolTipWindow::Update(HWND owner, HWND tool, std::string_view utf8) {
    std::wstring text = Wide(utf8);
    TTTOOLINFOW info = ToolInfo(owner, tool, text);
    SendMessageW(handle_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&info));
}

DialogFonts::DialogFonts() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    LOGFONTW font{};
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        font = metrics.lfMessageFont;
    } else {
        GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    }
    normal = CreateFontIndirectW(&font);
    font.lfWeight = FW_BOLD;
    bold = CreateFontIndirectW(&font);
}

DialogFonts::~DialogFonts() {
    DeleteObject(normal);
    DeleteObject(bold);
}

}  // namespace fuel::win32
