#include "platform/win32/ModalDialog.h"

#include <stdexcept>

#include "platform/win32/WideText.h"

namespace fuel::win32 {
namespace {

constexpr wchar_t kWindowClass[] = L"FuelServiceToolDialog";
ATOM registeredClass = 0;

void RegisterWindowClass(WNDPROC procedure) {
    if (registeredClass != 0) {
        return;
    }
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = LibraryInstance();
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = kWindowClass;
    registeredClass = RegisterClassExW(&windowClass);
    if (registeredClass == 0) {
        throw std::runtime_error("cannot register the dialog window class");
    }
}

struct DisabledWindows {
    HWND keep;
    std::vector<HWND> windows;
};

BOOL CALLBACK DisableOne(HWND window, LPARAM context) {
    auto& disabled = *reinterpret_cast<DisabledWindows*>(context);
    if (window != disabled.keep && IsWindowVisible(window) && IsWindowEnabled(window)) {
        EnableWindow(window, FALSE);
        disabled.windows.push_back(window);
    }
    return TRUE;
}

}  // namespace

HINSTANCE LibraryInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&LibraryInstance), &module);
    return module;
}

void ModalDialog::UnregisterWindowClass() {
    if (registeredClass != 0) {
        UnregisterClassW(kWindowClass, LibraryInstance());
        registeredClass = 0;
    }
}

ModalDialog::~ModalDialog() {
    if (handle_ != nullptr) {
        SetWindowLongPtrW(handle_, GWLP_USERDATA, 0);
        DestroyWindow(handle_);
    }
}

void ModalDialog::Create(std::string_view caption, int width, int height, bool sizeable) {
    RegisterWindowClass(&ModalDialog::Procedure);
    // No minimise or maximise box and no icon, as befits a modal dialog (the caption keeps
    // its room); and no clipping of the children, so that the dialog's own background shows
    // inside a group box.
    const DWORD style =
        WS_POPUP | WS_CAPTION | WS_SYSMENU | (sizeable ? WS_THICKFRAME : DS_MODALFRAME);
    const DWORD exStyle = WS_EX_CONTROLPARENT | WS_EX_DLGMODALFRAME;
    RECT frame{0, 0, width, height};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    minimumSize_ = SIZE{frame.right - frame.left, frame.bottom - frame.top};
    handle_ = CreateWindowExW(exStyle, kWindowClass, Wide(caption).c_str(), style, CW_USEDEFAULT,
                              CW_USEDEFAULT, minimumSize_.cx, minimumSize_.cy, nullptr, nullptr,
                              LibraryInstance(), this);
    if (handle_ == nullptr) {
        throw std::runtime_error("cannot create the dialog window");
    }
    OnInit();
}

void ModalDialog::CenterOnScreen() {
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT window{};
    GetWindowRect(handle_, &window);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    MoveTo(work.left + (work.right - work.left - width) / 2,
           work.top + (work.bottom - work.top - height) / 2);
}

void ModalDialog::MoveTo(int left, int top) {
    SetWindowPos(handle_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int ModalDialog::RunModal() {
    // The window that was active (the host's, or the dialog that opened this one) owns it,
    // so that it stays above its owner and activation goes back there afterwards.
    HWND owner = GetActiveWindow();
    if (owner == handle_) {
        owner = nullptr;
    }
    SetWindowLongPtrW(handle_, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
    DisabledWindows disabled{handle_, {}};
    EnumThreadWindows(GetCurrentThreadId(), &DisableOne, reinterpret_cast<LPARAM>(&disabled));

    ended_ = false;
    running_ = true;
    ShowWindow(handle_, SW_SHOW);
    SetForegroundWindow(handle_);
    UpdateWindow(handle_);
    OnShown();

    bool quit = false;
    WPARAM quitCode = 0;
    while (!ended_) {
        MSG message{};
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) {
            break;
        }
        if (got == 0) {
            // The application is quitting: the dialog ends, and the quit goes on to the
            // host's own loop.
            quit = true;
            quitCode = message.wParam;
            break;
        }
        if (!IsDialogMessageW(handle_, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (!ended_) {
        result_ = IDCANCEL;
    }
    OnClosing();
    running_ = false;
    // Enabled again before this one hides, so that activation goes to the owner and not to
    // some other program.
    for (HWND window : disabled.windows) {
        if (IsWindow(window)) {
            EnableWindow(window, TRUE);
        }
    }
    ShowWindow(handle_, SW_HIDE);
    if (owner != nullptr && IsWindow(owner)) {
        SetActiveWindow(owner);
    }
    if (quit) {
        PostQuitMessage(static_cast<int>(quitCode));
    }
    return result_;
}

void ModalDialog::End(int result) {
    result_ = result;
    ended_ = true;
    // Wakes the loop up should nothing else be queued.
    PostMessageW(handle_, WM_NULL, 0, 0);
}

LRESULT CALLBACK ModalDialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* dialog = static_cast<ModalDialog*>(create->lpCreateParams);
        dialog->handle_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(dialog));
    }
    auto* dialog = reinterpret_cast<ModalDialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (dialog == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return dialog->Handle(message, wParam, lParam);
}

LRESULT ModalDialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND const window = handle_;
    switch (message) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_NOTIFY: {
            LRESULT result = 0;
            if (OnNotify(*reinterpret_cast<const NMHDR*>(lParam), result)) {
                return result;
            }
            break;
        }
        case WM_TIMER:
            OnTimer(wParam);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint{};
            HDC dc = BeginPaint(handle_, &paint);
            OnPaint(dc);
            EndPaint(handle_, &paint);
            return 0;
        }
        case WM_CLOSE:
            OnCloseRequest();
            return 0;
        case WM_GETMINMAXINFO: {
            // A resizable dialog never gets smaller than it was made, so no control is cut.
            auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
            limits->ptMinTrackSize.x = minimumSize_.cx;
            limits->ptMinTrackSize.y = minimumSize_.cy;
            return 0;
        }
        case WM_NCDESTROY:
            handle_ = nullptr;
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace fuel::win32
