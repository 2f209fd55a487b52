// What the service tool's forms ask of Windows: message boxes, other forms shown modally in
// their own windows, the system's decimal separator. Each form gets its window the first time
// it is shown; the window then lives (keeping its controls) until this object goes.
#pragma once

#include <map>
#include <memory>

#include "platform/win32/Controls.h"
#include "platform/win32/FormWindow.h"
#include "tool/Form.h"

namespace fuel::win32 {

class WindowsFormServices final : public tool::FormServices {
  public:
    WindowsFormServices();
    ~WindowsFormServices() override;

    bool Confirm(std::string_view text) override;
    void ShowError(std::string_view text) override;
    tool::ModalResult ShowModal(tool::Form& form) override;
    char DecimalSeparator() const override;

    // The window of a form, once it has been shown.
    FormWindow* WindowOf(const tool::Form& form) const;
    void DestroyWindows() { windows_.clear(); }

  private:
    DialogFonts fonts_;
    std::map<const tool::Form*, std::unique_ptr<FormWindow>> windows_;
};

// The system's decimal separator when it is one ASCII character, else '.'.
char SystemDecimalSeparator();

}  // namespace fuel::win32
