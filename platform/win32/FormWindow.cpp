#include "platform/win32/FormWindow.h"

#include <exception>

#include "platform/win32/WindowPosition.h"

namespace fuel::win32 {
namespace {

using tool::ControlKind;

int ModalCode(tool::ModalResult result) {
    return result == tool::ModalResult::Ok ? IDOK : IDCANCEL;
}

tool::ModalResult ModalResultOf(int code) {
    return code == IDOK ? tool::ModalResult::Ok : tool::ModalResult::Cancel;
}

DWORD TabStop(const tool::Control& control) {
    return control.TabStop ? WS_TABSTOP : 0;
}

// The arrows of a spin field never hit an end of their own range: the field's limits are the
// form's business, the arrows only say up or down.
constexpr int kArrowRange = 1000000;

}  // namespace

FormWindow::FormWindow(tool::Form& form, const FormLayout& layout, const DialogFonts& fonts)
    : form_(form), layout_(layout), fonts_(fonts) {}

HWND FormWindow::ControlWindow(std::string_view name) const {
    for (const Bound& bound : bound_) {
        if (bound.model->Name() == name) {
            return bound.window.Handle();
        }
    }
    return nullptr;
}

void FormWindow::OnInit() {
    tips_ = ToolTipWindow(CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                          WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Handle(),
                                          nullptr, LibraryInstance(), nullptr));
    // Labels first, so that in the order of the windows each stands before its control.
    for (const LabelLayout& label : layout_.labels) {
        labels_.emplace_back(CreateChild(Handle(), L"STATIC", label.text,
                                         WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0,
                                         label.place, -1, fonts_.normal));
    }
    const auto& controls = form_.Controls();
    bound_.resize(controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
        Bound& bound = bound_[i];
        bound.model = controls[i];
        bound.id = kFirstId + static_cast<int>(i) * kIdsPerControl;
        if (const ControlLayout* place = layout_.Find(bound.model->Name())) {
            bound.place = place->place;
            bound.placed = true;
        }
        Build(bound);
    }
}

void FormWindow::Build(Bound& bound) {
    tool::Control& model = *bound.model;
    const Placement& place = bound.place;
    // A control the layout does not place stays out of sight rather than on top of another.
    const bool visible = model.Visible && bound.placed;
    const DWORD shown = visible ? WS_VISIBLE : 0;
    const DWORD enabled = model.Enabled ? 0 : WS_DISABLED;
    bound.visible = visible;
    bound.enabled = model.Enabled;
    HWND parent = Handle();
    switch (model.Kind()) {
        case ControlKind::Panel:
            // Drawn as a raised frame by the dialog itself (OnPaint): nothing to click.
            return;
        case ControlKind::CheckBox: {
            auto& box = static_cast<tool::CheckBox&>(model);
            bound.window = Window(CreateChild(
                parent, L"BUTTON", box.Caption, BS_AUTOCHECKBOX | shown | enabled | TabStop(model),
                0, place, bound.id, box.Bold ? fonts_.bold : fonts_.normal));
            break;
        }
        case ControlKind::SpinEdit: {
            bound.window = Window(CreateChild(parent, L"EDIT", "",
                                              ES_AUTOHSCROLL | shown | enabled | TabStop(model),
                                              WS_EX_CLIENTEDGE, place, bound.id, fonts_.normal));
            // The arrows take their width off the field's right edge.
            bound.upDown = UpDownWindow(
                CreateChild(parent, UPDOWN_CLASSW, "",
                            UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_NOTHOUSANDS | shown | enabled, 0,
                            Placement{}, bound.id + 1, nullptr));
            bound.upDown.SetBuddy(bound.window.Handle());
            bound.upDown.SetRange(-kArrowRange, kArrowRange);
            bound.upDown.SetPosition(0);
            break;
        }
        case ControlKind::ComboBox: {
            auto& box = static_cast<tool::ComboBox&>(model);
            Placement withList = place;
            withList.height += 200;  // the open list below the box
            bound.window = Window(
                CreateChild(parent, L"COMBOBOX", "",
                            (box.Editable ? CBS_DROPDOWN | CBS_AUTOHSCROLL : CBS_DROPDOWNLIST) |
                                WS_VSCROLL | shown | enabled | TabStop(model),
                            0, withList, bound.id, fonts_.normal));
            break;
        }
        case ControlKind::Edit: {
            auto& edit = static_cast<tool::Edit&>(model);
            bound.window = Window(CreateChild(parent, L"EDIT", edit.Text,
                                              ES_AUTOHSCROLL | (edit.ReadOnly ? ES_READONLY : 0) |
                                                  shown | enabled | TabStop(model),
                                              WS_EX_CLIENTEDGE, place, bound.id, fonts_.normal));
            break;
        }
        case ControlKind::Button: {
            auto& button = static_cast<tool::Button&>(model);
            bound.window = Window(CreateChild(parent, L"BUTTON", button.Caption,
                                              (button.Default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) |
                                                  shown | enabled | TabStop(model),
                                              0, place, bound.id, fonts_.normal));
            break;
        }
        case ControlKind::RadioGroup: {
            auto& group = static_cast<tool::RadioGroup&>(model);
            bound.window =
                Window(CreateChild(parent, L"BUTTON", group.Caption, BS_GROUPBOX | shown | enabled,
                                   0, place, bound.id, fonts_.normal));
            // The buttons share the frame's height below its caption.
            const int count = static_cast<int>(group.Items.size());
            const int top = place.y + 18;
            const int step = count > 0 ? (place.height - 24) / count : 0;
            for (int k = 0; k < count && k + 1 < kIdsPerControl; ++k) {
                const Placement item{place.x + 10, top + k * step, place.width - 16, 17};
                bound.items.emplace_back(CreateChild(
                    parent, L"BUTTON", group.Items[static_cast<std::size_t>(k)],
                    BS_AUTORADIOBUTTON | shown | enabled | (k == 0 ? WS_GROUP | TabStop(model) : 0),
                    0, item, bound.id + 1 + k, fonts_.normal));
            }
            break;
        }
    }
    if (!model.Hint.empty() && bound.window.Handle() != nullptr) {
        tips_.Add(Handle(), bound.window.Handle(), model.Hint);
        bound.hint = model.Hint;
    }
}

void FormWindow::Sync() {
    if (!Created() || syncing_) {
        return;
    }
    syncing_ = true;
    for (Bound& bound : bound_) {
        SyncControl(bound);
    }
    syncing_ = false;
    SyncTimers();
}

void FormWindow::SyncControl(Bound& bound) {
    tool::Control& model = *bound.model;
    if (model.Kind() == ControlKind::Panel) {
        if (bound.visible != (model.Visible && bound.placed)) {
            bound.visible = model.Visible && bound.placed;
            InvalidateRect(Handle(), nullptr, TRUE);
        }
        return;
    }
    Window& window = bound.window;
    const bool visible = model.Visible && bound.placed;
    if (bound.visible != visible) {
        bound.visible = visible;
        window.Show(visible);
        if (bound.upDown.Handle() != nullptr) {
            bound.upDown.Show(visible);
        }
        for (ButtonWindow& item : bound.items) {
            item.Show(visible);
        }
    }
    if (bound.enabled != model.Enabled) {
        bound.enabled = model.Enabled;
        window.Enable(model.Enabled);
        if (bound.upDown.Handle() != nullptr) {
            bound.upDown.Enable(model.Enabled);
        }
        for (ButtonWindow& item : bound.items) {
            item.Enable(model.Enabled);
        }
    }
    if (bound.hint != model.Hint) {
        if (bound.hint.empty()) {
            tips_.Add(Handle(), window.Handle(), model.Hint);
        } else {
            tips_.Update(Handle(), window.Handle(), model.Hint);
        }
        bound.hint = model.Hint;
    }
    if (model.Kind() != ControlKind::RadioGroup) {
        window.SetStyle(WS_TABSTOP, model.TabStop);
    }
    switch (model.Kind()) {
        case ControlKind::Panel:
            break;
        case ControlKind::CheckBox: {
            auto& box = static_cast<tool::CheckBox&>(model);
            window.SetText(box.Caption);
            ButtonWindow button(window.Handle());
            if (button.IsChecked() != box.Checked()) {
                button.SetChecked(box.Checked());
            }
            break;
        }
        case ControlKind::SpinEdit: {
            auto& spin = static_cast<tool::SpinEdit&>(model);
            EditWindow edit(window.Handle());
            // Hexadecimal fields show bare upper-case digits; whole numbers that cannot be
            // negative take digits only.
            window.SetStyle(ES_UPPERCASE, spin.Mode == tool::SpinEdit::Entry::Hexadecimal);
            window.SetStyle(ES_NUMBER,
                            spin.Mode == tool::SpinEdit::Entry::Integer && spin.MinValue >= 0);
            edit.LimitText(spin.MaxLength);
            window.SetText(spin.Text());
            break;
        }
        case ControlKind::ComboBox: {
            auto& box = static_cast<tool::ComboBox&>(model);
            ComboBoxWindow list(window.Handle());
            if (bound.listItems != box.Items) {
                list.Clear();
                for (const std::string& item : box.Items) {
                    list.Add(item);
                }
                bound.listItems = box.Items;
            }
            if (list.Selection() != box.ItemIndex()) {
                list.Select(box.ItemIndex());
            }
            if (box.Editable && box.ItemIndex() < 0) {
                window.SetText(box.Text);
            }
            break;
        }
        case ControlKind::Edit: {
            auto& edit = static_cast<tool::Edit&>(model);
            EditWindow field(window.Handle());
            const bool readOnly =
                (GetWindowLongPtrW(window.Handle(), GWL_STYLE) & ES_READONLY) != 0;
            if (readOnly != edit.ReadOnly) {
                field.SetReadOnly(edit.ReadOnly);
            }
            window.SetText(edit.Text);
            break;
        }
        case ControlKind::Button: {
            auto& button = static_cast<tool::Button&>(model);
            window.SetText(button.Caption);
            break;
        }
        case ControlKind::RadioGroup: {
            auto& group = static_cast<tool::RadioGroup&>(model);
            window.SetText(group.Caption);
            for (std::size_t k = 0; k < bound.items.size(); ++k) {
                const bool chosen = static_cast<int>(k) == group.ItemIndex;
                if (bound.items[k].IsChecked() != chosen) {
                    bound.items[k].SetChecked(chosen);
                }
            }
            break;
        }
    }
}

void FormWindow::SyncTimers() {
    const auto& timers = form_.Timers();
    timerRunning_.resize(timers.size(), false);
    timerInterval_.resize(timers.size(), 0);
    for (std::size_t i = 0; i < timers.size(); ++i) {
        const tool::Timer& timer = *timers[i];
        const bool wanted = timersAllowed_ && timer.Enabled && timer.Interval > 0;
        const UINT_PTR id = i + 1;
        if (wanted && (!timerRunning_[i] || timerInterval_[i] != timer.Interval)) {
            SetTimer(Handle(), id, static_cast<UINT>(timer.Interval), nullptr);
            timerRunning_[i] = true;
            timerInterval_[i] = timer.Interval;
        } else if (!wanted && timerRunning_[i]) {
            KillTimer(Handle(), id);
            timerRunning_[i] = false;
        }
    }
}

template <typename Handler>
void FormWindow::Run(Handler handler) {
    try {
        handler();
    } catch (const std::exception& failure) {
        // A handler's failure reaches the technician as any other error does; a window
        // procedure must never let it through.
        try {
            form_.Services().ShowError(failure.what());
        } catch (...) {
        }
    } catch (...) {
    }
    Sync();
}

void FormWindow::Press(tool::Button& button) {
    if (!button.Visible || !button.Enabled) {
        return;
    }
    Run([&] {
        if (button.OnClick) {
            button.OnClick();
        }
    });
    if (button.Result != tool::ModalResult::None && Running()) {
        End(ModalCode(button.Result));
    }
}

FormWindow::Bound* FormWindow::ById(int id) {
    if (id < kFirstId) {
        return nullptr;
    }
    const std::size_t index = static_cast<std::size_t>((id - kFirstId) / kIdsPerControl);
    return index < bound_.size() ? &bound_[index] : nullptr;
}

tool::Button* FormWindow::FindButton(bool defaultButton) {
    for (tool::Control* control : form_.Controls()) {
        if (control->Kind() == ControlKind::Button) {
            auto* button = static_cast<tool::Button*>(control);
            if (defaultButton ? button->Default : button->Cancel) {
                return button;
            }
        }
    }
    return nullptr;
}

void FormWindow::OnCommand(int id, int code, HWND control) {
    (void)control;
    if (syncing_) {
        return;  // caused by copying the form's own state onto the window
    }
    if (id == IDOK || id == IDCANCEL) {
        // Enter and Escape, through the dialog keyboard handling.
        if (tool::Button* button = FindButton(id == IDOK)) {
            Press(*button);
        } else if (id == IDCANCEL) {
            End(IDCANCEL);
        }
        return;
    }
    Bound* bound = ById(id);
    if (bound == nullptr) {
        return;
    }
    tool::Control& model = *bound->model;
    const int offset = id - bound->id;
    switch (model.Kind()) {
        case ControlKind::CheckBox:
            if (code == BN_CLICKED) {
                const bool checked = ButtonWindow(bound->window.Handle()).IsChecked();
                Run([&] { static_cast<tool::CheckBox&>(model).SetChecked(checked); });
            }
            break;
        case ControlKind::SpinEdit:
            if (code == EN_CHANGE && offset == 0) {
                const std::string text = bound->window.Text();
                Run([&] { static_cast<tool::SpinEdit&>(model).SetText(text); });
            }
            break;
        case ControlKind::ComboBox: {
            auto& box = static_cast<tool::ComboBox&>(model);
            ComboBoxWindow list(bound->window.Handle());
            if (code == CBN_SELCHANGE) {
                const int index = list.Selection();
                Run([&] {
                    if (box.Editable) {
                        box.Text = list.Item(index);
                    }
                    box.Select(index);
                });
            } else if (code == CBN_EDITCHANGE && box.Editable) {
                const std::string text = bound->window.Text();
                Run([&] {
                    box.Text = text;
                    int match = -1;
                    for (std::size_t k = 0; k < box.Items.size(); ++k) {
                        if (box.Items[k] == text) {
                            match = static_cast<int>(k);
                            break;
                        }
                    }
                    box.SetItemIndex(match);
                });
            }
            break;
        }
        case ControlKind::Edit:
            if (code == EN_CHANGE) {
                const std::string text = bound->window.Text();
                Run([&] { static_cast<tool::Edit&>(model).Text = text; });
            }
            break;
        case ControlKind::Button:
            if (code == BN_CLICKED) {
                Press(static_cast<tool::Button&>(model));
            }
            break;
        case ControlKind::RadioGroup:
            if (code == BN_CLICKED && offset >= 1) {
                Run([&] { static_cast<tool::RadioGroup&>(model).ItemIndex = offset - 1; });
            }
            break;
        case ControlKind::Panel:
            break;
    }
}

bool FormWindow::OnNotify(const NMHDR& header, LRESULT& result) {
    if (header.code != UDN_DELTAPOS || syncing_) {
        return false;
    }
    Bound* bound = ById(static_cast<int>(header.idFrom));
    if (bound == nullptr || bound->model->Kind() != ControlKind::SpinEdit) {
        return false;
    }
    const auto& change = reinterpret_cast<const NMUPDOWN&>(header);
    const int step = change.iDelta > 0 ? 1 : -1;
    Run([&] { static_cast<tool::SpinEdit&>(*bound->model).Step(step); });
    result = TRUE;  // the arrows keep no position of their own
    return true;
}

void FormWindow::OnTimer(UINT_PTR id) {
    const auto& timers = form_.Timers();
    if (id == 0 || id > timers.size()) {
        return;
    }
    tool::Timer& timer = *timers[id - 1];
    if (!timersAllowed_ || !timer.Enabled || !timer.OnTimer) {
        return;
    }
    Run([&] { timer.OnTimer(); });
}

void FormWindow::OnPaint(HDC dc) {
    for (const Bound& bound : bound_) {
        if (bound.model->Kind() == ControlKind::Panel && bound.visible) {
            RECT frame{bound.place.x, bound.place.y, bound.place.x + bound.place.width,
                       bound.place.y + bound.place.height};
            DrawEdge(dc, &frame, BDR_RAISEDINNER, BF_RECT);
        }
    }
}

void FormWindow::OnCloseRequest() {
    End(IDCANCEL);
}

void FormWindow::PlaceOnScreen() {
    const bool keepsPosition = form_.Placement() != nullptr;
    if (keepsPosition && placed_) {
        return;  // where the person left it in this run
    }
    if (keepsPosition) {
        if (const auto saved = LoadWindowPosition(form_.Name())) {
            RECT window{};
            GetWindowRect(Handle(), &window);
            OffsetRect(&window, saved->x - window.left, saved->y - window.top);
            // A position on a monitor that is no longer there would hide the dialog.
            if (MonitorFromRect(&window, MONITOR_DEFAULTTONULL) != nullptr) {
                MoveTo(saved->x, saved->y);
                placed_ = true;
                return;
            }
        }
    }
    if (form_.Position == tool::FormPosition::ScreenCenter) {
        CenterOnScreen();
    }
    placed_ = true;
}

void FormWindow::OnShown() {
    form_.FormShow();
    timersAllowed_ = true;
    Sync();
    HWND focus = nullptr;
    if (form_.ActiveControl != nullptr) {
        focus = ControlWindow(form_.ActiveControl->Name());
    }
    if (focus == nullptr || !IsWindowVisible(focus) || !IsWindowEnabled(focus)) {
        focus = GetNextDlgTabItem(Handle(), nullptr, FALSE);
    }
    if (focus != nullptr) {
        SetFocus(focus);
        wchar_t className[16] = {};
        GetClassNameW(focus, className, 16);
        if (lstrcmpiW(className, L"Edit") == 0) {
            SendMessageW(focus, EM_SETSEL, 0, -1);  // typing replaces the name, as Tab does
        }
    }
}

void FormWindow::OnClosing() {
    Run([&] { form_.FormClose(); });
    timersAllowed_ = false;
    SyncTimers();
    if (form_.Placement() != nullptr) {
        RECT window{};
        GetWindowRect(Handle(), &window);
        SaveWindowPosition(form_.Name(), POINT{window.left, window.top});
    }
}

tool::ModalResult FormWindow::ShowModal() {
    if (!Created()) {
        Create(form_.Caption, form_.ClientWidth, form_.ClientHeight,
               form_.Border == tool::BorderStyle::Sizeable);
    } else {
        Window(Handle()).SetText(form_.Caption);
    }
    Sync();
    PlaceOnScreen();
    return ModalResultOf(RunModal());
}

}  // namespace fuel::win32
