#include "platform/win32/FormServices.h"

#include <stdexcept>
#include <string>

#include "platform/win32/WideText.h"

namespace fuel::win32 {
namespace {

// A box belongs to the dialog the technician is looking at, so that it stays in front of it
// and the dialog waits for it.
HWND BoxOwner() {
    HWND active = GetActiveWindow();
    return active != nullptr && IsWindowVisible(active) ? active : nullptr;
}

int Box(std::string_view text, const wchar_t* title, UINT type) {
    HWND owner = BoxOwner();
    return MessageBoxW(owner, Wide(text).c_str(), title,
                       type | MB_SETFOREGROUND | (owner == nullptr ? MB_TASKMODAL : 0));
}

}  // namespace

WindowsFormServices::WindowsFormServices() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
}

WindowsFormServices::~WindowsFormServices() = default;

bool WindowsFormServices::Confirm(std::string_view text) {
    return Box(text, L"Message", MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION) == IDYES;
}

void WindowsFormServices::ShowError(std::string_view text) {
    Box(text, L"Error", MB_OK | MB_ICONERROR);
}

tool::ModalResult WindowsFormServices::ShowModal(tool::Form& form) {
    auto& window = windows_[&form];
    if (!window) {
        const FormLayout* layout = LayoutOf(form.Name());
        if (layout == nullptr) {
            throw std::logic_error("no window layout for the form " + form.Name());
        }
        window = std::make_unique<FormWindow>(form, *layout, fonts_);
    }
    if (window->Running()) {
        // Open already (a second way in while it waits for the person): bring it forward.
        SetForegroundWindow(window->Handle());
        return tool::ModalResult::None;
    }
    return window->ShowModal();
}

char WindowsFormServices::DecimalSeparator() const {
    return SystemDecimalSeparator();
}

FormWindow* WindowsFormServices::WindowOf(const tool::Form& form) const {
    const auto found = windows_.find(&form);
    return found == windows_.end() ? nullptr : found->second.get();
}

char SystemDecimalSeparator() {
    wchar_t separator[8] = {};
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8) >= 2 &&
        separator[1] == L'\0' && separator[0] > L' ' && separator[0] < 0x7F) {
        return static_cast<char>(separator[0]);
    }
    return '.';
}

}  // namespace fuel::win32
