// A host's main window with a native menu bar, as a host built on its own user-interface
// runtime has one: popups with captions, items with the host's own commands. Its window
// procedure records what reaches it, so that a test sees whether a message passed unchanged.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace fuel::test::win32 {

struct PopupItems {
    std::string caption;  // UTF-8
    std::vector<std::string> items;
};

// A menu bar; the items get the commands 100, 101, ... in order.
HMENU MakeMenuBar(const std::vector<PopupItems>& popups);
HMENU MakePopup(const std::vector<std::string>& items, UINT firstCommand = 200);

// The first popup of window's bar captioned caption, or nullptr.
HMENU PopupCaptioned(HWND window, const std::string& caption);
// The captions of a menu's items, UTF-8.
std::vector<std::string> Captions(HMENU menu);

enum class Charset { Ansi, Unicode };

// What the host's procedure answers to kHostQuery.
inline constexpr LRESULT kHostAnswer = 0x4321;
inline constexpr UINT kHostQuery = WM_APP + 7;

class HostWindow {
  public:
    struct Received {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        std::string text;  // WM_SETTEXT: the bytes as they came (Windows-1251 or UTF-16LE)
    };

    // A hidden top-level window of the calling thread; bar may be nullptr.
    explicit HostWindow(HMENU bar, Charset charset = Charset::Unicode);
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    HWND Handle() const { return window_; }
    // The host's own procedure, and the one the window has now.
    WNDPROC OwnProcedure() const;
    WNDPROC CurrentProcedure() const;
    const std::vector<Received>& Seen() const { return seen_; }
    bool SawCommand(UINT command) const;

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    Charset charset_;
    HWND window_ = nullptr;
    std::vector<Received> seen_;
};

}  // namespace fuel::test::win32
