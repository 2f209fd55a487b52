// The window of a service-tool form: built once from the form's controls and its layout,
// then only a mirror. Before every opening and after everything a person does (a click, a
// selection, a keystroke in a field, the arrows of a spin field, a timer tick) the form's
// state is copied onto the controls; what a person does is forwarded to the form's own
// handlers. The notifications that the copying itself causes are not forwarded.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/Controls.h"
#include "platform/win32/FormLayout.h"
#include "platform/win32/ModalDialog.h"
#include "tool/Form.h"

namespace fuel::win32 {

class FormWindow final : public ModalDialog {
  public:
    FormWindow(tool::Form& form, const FormLayout& layout, const DialogFonts& fonts);

    // Shows the form modally (creating its window the first time); FormShow runs once it is
    // up, FormClose as it closes.
    tool::ModalResult ShowModal();

    tool::Form& Form() const { return form_; }
    // The window of a control (the edit field of a spin field, the frame of a radio group).
    HWND ControlWindow(std::string_view name) const;

    static constexpr int kFirstId = 1000;
    static constexpr int kIdsPerControl = 16;  // a spin field's arrows and a group's buttons

  private:
    struct Bound {
        tool::Control* model = nullptr;
        int id = 0;
        Window window;
        UpDownWindow upDown;              // spin fields
        std::vector<ButtonWindow> items;  // the buttons of a radio group
        Placement place;
        bool placed = false;  // the layout has a place for it; else it is never shown
        // What was last copied, so that only changes reach the window.
        bool visible = true;
        bool enabled = true;
        std::string hint;
        std::vector<std::string> listItems;
    };

    void OnInit() override;
    void OnShown() override;
    void OnClosing() override;
    void OnCommand(int id, int code, HWND control) override;
    bool OnNotify(const NMHDR& header, LRESULT& result) override;
    void OnTimer(UINT_PTR id) override;
    void OnPaint(HDC dc) override;
    void OnCloseRequest() override;

    void Build(Bound& bound);
    // Copies the form's state onto every control and starts or stops the timers.
    void Sync();
    void SyncControl(Bound& bound);
    void SyncTimers();
    // Runs a handler of the form: a failure is shown, never let through the window system.
    template <typename Handler>
    void Run(Handler handler);
    void Press(tool::Button& button);
    Bound* ById(int id);
    tool::Button* FindButton(bool defaultButton);
    void PlaceOnScreen();

    tool::Form& form_;
    const FormLayout& layout_;
    const DialogFonts& fonts_;
    std::vector<Bound> bound_;
    std::vector<Window> labels_;
    ToolTipWindow tips_;
    std::vector<bool> timerRunning_;
    std::vector<int> timerInterval_;
    bool timersAllowed_ = false;
    bool syncing_ = false;
    bool placed_ = false;
};

}  // namespace fuel::win32
