// A person at the mouse, for tests that drive the library's real dialogs from a second
// thread while the dialog runs its own loop on the first. Everything goes through window
// messages: controls are found by class, caption or position, buttons pressed with BM_CLICK,
// lists chosen with CB_SETCURSEL and the notification a person's choice sends, fields typed
// with WM_SETTEXT and EN_CHANGE. A click that opens a box or another dialog is posted, so
// that this thread stays free to answer it; a wait polls, as a person looks.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace fuel::test::win32 {

using namespace std::chrono_literals;

class DialogDriver {
  public:
    // uiThread: the thread whose windows (dialogs, boxes) are driven.
    explicit DialogDriver(DWORD uiThread, std::chrono::milliseconds patience = 60s)
        : uiThread_(uiThread), patience_(patience) {}

    // A visible top-level window of the thread with this caption (UTF-8), and optionally
    // this class; nullptr after the patience ran out.
    HWND WaitForWindow(std::string_view caption, const wchar_t* windowClass = nullptr) const;
    // Until no visible window of the thread has this caption.
    bool WaitUntilGone(std::string_view caption) const;
    // Until condition holds; false after the patience ran out.
    bool WaitFor(const std::function<bool()>& condition) const;

    // The child whose top-left corner stands at (x, y) of the dialog's client area (the
    // up-down arrows of a spin field do not count).
    static HWND ControlAt(HWND dialog, int x, int y);
    // A button, check box or radio button by its caption (UTF-8).
    static HWND ButtonCalled(HWND dialog, std::string_view caption);

    static std::string Text(HWND window);
    static bool Visible(HWND window) { return IsWindowVisible(window) != FALSE; }
    static bool Checked(HWND button);

    // A click that returns when its handler has run.
    static void Click(HWND button);
    // A click whose handler opens a box or a dialog: returns at once.
    static void PostClick(HWND button);
    static void Type(HWND edit, std::string_view text);
    // A click on the upper (up) or lower arrow of a spin field's up-down control.
    static void Spin(HWND edit, bool up);
    static void Choose(HWND comboBox, int index);
    static int Selection(HWND comboBox);
    static int Count(HWND comboBox);
    static std::string Item(HWND comboBox, int index);

    // A message box of the thread titled caption: its text, and a press of its button id
    // (IDYES, IDNO, IDOK).
    static std::string BoxText(HWND box);
    // The button that Enter presses in a box.
    static int DefaultButton(HWND box);
    static void Answer(HWND box, int button);

    // Closes every window of the thread, boxes first, until none is left: after a failed
    // step, so that the dialog's loop ends and the test can report.
    void CloseEverything() const;

  private:
    DWORD uiThread_;
    std::chrono::milliseconds patience_;
};

}  // namespace fuel::test::win32
