// A dialog window without a dialog template: created once, shown modally as often as needed,
// with a few hooks for what a concrete dialog does. Modal means what a person expects of a
// Windows dialog: every other window of the thread (the host's included) is disabled until it
// closes, and its own message loop runs meanwhile, keyboard navigation included (Tab, Enter
// for the default button, Escape for the cancel button).
#pragma once

#include <windows.h>

#include <string_view>
#include <vector>

namespace fuel::win32 {

class ModalDialog {
  public:
    ModalDialog() = default;
    virtual ~ModalDialog();
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    HWND Handle() const { return handle_; }
    bool Created() const { return handle_ != nullptr; }

    // Creates the hidden window with a client area of width × height; OnInit builds the
    // controls. sizeable: an ordinary resizable border, else a fixed dialog border.
    void Create(std::string_view caption, int width, int height, bool sizeable);
    // Shows the window, runs its messages until End, hides it; returns End's result.
    int RunModal();
    void End(int result);
    bool Running() const { return running_; }

    void CenterOnScreen();
    void MoveTo(int left, int top);

    // Unregisters the window class; for the library's unloading, once no window is left.
    static void UnregisterWindowClass();

  protected:
    virtual void OnInit() {}
    // Called once the window is on the screen, before the loop starts.
    virtual void OnShown() {}
    // Just before the window hides (the dialog is still on the screen).
    virtual void OnClosing() {}
    virtual void OnCommand(int id, int code, HWND control) {
        (void)id;
        (void)code;
        (void)control;
    }
    // A notification from a common control; true when handled, with result set.
    virtual bool OnNotify(const NMHDR& header, LRESULT& result) {
        (void)header;
        (void)result;
        return false;
    }
    virtual void OnTimer(UINT_PTR id) { (void)id; }
    virtual void OnPaint(HDC dc) { (void)dc; }
    // The close box or Alt+F4; by default the dialog ends as cancelled.
    virtual void OnCloseRequest() { End(IDCANCEL); }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    HWND handle_ = nullptr;
    SIZE minimumSize_{};
    bool running_ = false;
    bool ended_ = false;
    int result_ = 0;
};

// The library's own module, for its window class and resources.
HINSTANCE LibraryInstance();

}  // namespace fuel::win32
