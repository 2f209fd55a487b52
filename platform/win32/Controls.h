// Thin wrappers over the child windows a dialog is made of: one small class per kind of
// control, each method one Win32 call (or a read, compare and call, so that setting what is
// already there sends nothing). They own nothing: the parent window destroys its children.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/Placement.h"

namespace fuel::win32 {

// Creates a child window of parent with the given class, text, styles and place.
HWND CreateChild(HWND parent, const wchar_t* windowClass, std::string_view text, DWORD style,
                 DWORD exStyle, const Placement& place, int id, HFONT font);

class Window {
  public:
    Window() = default;
    explicit Window(HWND handle) : handle_(handle) {}
    HWND Handle() const { return handle_; }
    int Id() const { return GetDlgCtrlID(handle_); }

    void Show(bool show) { ShowWindow(handle_, show ? SW_SHOWNA : SW_HIDE); }
    void Enable(bool enable) { EnableWindow(handle_, enable ? TRUE : FALSE); }
    bool IsEnabled() const { return IsWindowEnabled(handle_) != FALSE; }
    void SetFont(HFONT font) {
        SendMessageW(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
    void Focus() { SetFocus(handle_); }
    void SetStyle(DWORD style, bool on);

    std::string Text() const;
    // Sends WM_SETTEXT only when the text differs: an edit keeps its caret while a person
    // types, and no change notification is caused for nothing.
    void SetText(std::string_view utf8);

  protected:
    HWND handle_ = nullptr;
};

class ButtonWindow : public Window {
  public:
    using Window::Window;
    bool IsChecked() const { return SendMessageW(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED; }
    void SetChecked(bool checked) {
        SendMessageW(handle_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    void SetDefault(bool isDefault) {
        SendMessageW(handle_, BM_SETSTYLE, isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
    }
};

class EditWindow : public Window {
  public:
    using Window::Window;
    void SetReadOnly(bool readOnly) {
        SendMessageW(handle_, EM_SETREADONLY, readOnly ? TRUE : FALSE, 0);
    }
    void LimitText(int characters) {
        SendMessageW(handle_, EM_LIMITTEXT, static_cast<WPARAM>(characters), 0);
    }
};

class UpDownWindow : public Window {
  public:
    using Window::Window;
    void SetBuddy(HWND buddy) {
        SendMessageW(handle_, UDM_SETBUDDY, reinterpret_cast<WPARAM>(buddy), 0);
    }
    void SetRange(int low, int high) {
        SendMessageW(handle_, UDM_SETRANGE32, static_cast<WPARAM>(low), high);
    }
    void SetPosition(int position) { SendMessageW(handle_, UDM_SETPOS32, 0, position); }
};

class ComboBoxWindow : public Window {
  public:
    using Window::Window;
    int Selection() const { return static_cast<int>(SendMessageW(handle_, CB_GETCURSEL, 0, 0)); }
    void Select(int index) { SendMessageW(handle_, CB_SETCURSEL, static_cast<WPARAM>(index), 0); }
    void Clear() { SendMessageW(handle_, CB_RESETCONTENT, 0, 0); }
    void Add(std::string_view utf8);
    std::string Item(int index) const;
    int Count() const { return static_cast<int>(SendMessageW(handle_, CB_GETCOUNT, 0, 0)); }
};

class ToolTipWindow : public Window {
  public:
    using Window::Window;
    // Tool tips are keyed by the control's window; the text is copied by the tip.
    void Add(HWND owner, HWND tool, std::string_view utf8);
    void Update(HWND owner, HWND tool, std::string_view utf8);
};

// The message font of the system (what dialogs use), and a bold copy for emphasis.
struct DialogFonts {
    HFONT normal = nullptr;
    HFONT bold = nullptr;
    DialogFonts();
    ~DialogFonts();
    DialogFonts(const DialogFonts&) = delete;
    DialogFonts& operator=(const DialogFonts&) = delete;
};

}  // namespace fuel::win32
