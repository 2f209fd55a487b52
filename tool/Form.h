// The dialogs as plain objects: each form is a set of controls with the state a person sees
// (visible, enabled, text, value, items, selection, check) and handlers that change it. A
// window system only copies that state onto real controls and forwards a person's actions
// back (tests do the same without any window), so every rule of a dialog lives here.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace fuel::tool {

// What closes a modal form, as its buttons report it.
enum class ModalResult { None, Ok, Cancel };

enum class ControlKind {
    Panel,       // a bordered area; holds nothing of its own here
    CheckBox,    // caption, checked
    SpinEdit,    // text (the field as typed), limits, integer / decimal / hexadecimal entry
    ComboBox,    // items, selection; a drop-down list, or editable (then text is free)
    Edit,        // text; a display field when read-only
    Button,      // caption, tag, modal result
    RadioGroup,  // caption, items, selection
};

class Control {
  public:
    Control(std::string name, ControlKind kind) : name_(std::move(name)), kind_(kind) {}
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const std::string& Name() const { return name_; }
    ControlKind Kind() const { return kind_; }

    bool Visible = true;
    bool Enabled = true;
    bool TabStop = true;
    std::string Hint;  // UTF-8, shown as a tool tip

  private:
    std::string name_;
    ControlKind kind_;
};

class Panel : public Control {
  public:
    explicit Panel(std::string name) : Control(std::move(name), ControlKind::Panel) {}
};

class CheckBox : public Control {
  public:
    explicit CheckBox(std::string name) : Control(std::move(name), ControlKind::CheckBox) {}
    std::string Caption;
    bool Bold = false;
    // Setting Checked through SetChecked runs OnClick, as a click does (the dialogs rely on
    // a check box set by the program acting as if clicked).
    bool Checked() const { return checked_; }
    void SetChecked(bool checked);
    std::function<void()> OnClick;

  private:
    bool checked_ = false;
};

class SpinEdit : public Control {
  public:
    enum class Entry { Integer, Decimal, Hexadecimal };
    explicit SpinEdit(std::string name) : Control(std::move(name), ControlKind::SpinEdit) {}

    Entry Mode = Entry::Integer;
    double MinValue = 0;  // both 0: no limits
    double MaxValue = 0;
    double Increment = 1;
    int Decimals = 0;   // decimal places shown in Decimal entry
    int Digits = 0;     // Hexadecimal entry: at least this many digits shown (leading zeros)
    int MaxLength = 0;  // characters a person may type; 0: no limit

    // The field's text as typed: the truth, since a person may leave it unparsable.
    const std::string& Text() const { return text_; }
    // A person typed (or the program set) this text: runs OnChange when it differs.
    void SetText(std::string text);
    // The text read as a number in the field's entry mode (hexadecimal digits without prefix
    // in Hexadecimal entry), clamped to the limits; fallback when it does not parse.
    double Value(double fallback = 0) const;
    // Shows value in the field's entry mode (upper-case hexadecimal of at least Digits
    // digits, or Decimals places with DecimalSeparator), clamped to the limits.
    void SetValue(double value);
    // The arrows: Increment up (delta 1) or down (delta -1), within the limits.
    void Step(int delta);
    char DecimalSeparator = '.';
    std::function<void()> OnChange;

  private:
    std::string text_ = "0";
};

class ComboBox : public Control {
  public:
    explicit ComboBox(std::string name) : Control(std::move(name), ControlKind::ComboBox) {}
    bool Editable = false;  // a free text line over the list
    std::vector<std::string> Items;
    // The selected item, -1 for none. A person's selection runs OnChange; the program's
    // SetItemIndex does not (as with the window system's own lists).
    int ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int index);
    void Select(int index);  // a person's choice: SetItemIndex, then OnChange
    std::string Text;        // the text line of an editable box
    std::function<void()> OnChange;
    // Empties the list; nothing is selected then.
    void Clear();
    // Removes one line, as a window list does: the selection goes with a removed selected
    // line and follows a line that moves up.
    void Delete(int index);

  private:
    int itemIndex_ = -1;
};

class Edit : public Control {
  public:
    explicit Edit(std::string name) : Control(std::move(name), ControlKind::Edit) {}
    bool ReadOnly = false;
    std::string Text;
};

class Button : public Control {
  public:
    explicit Button(std::string name) : Control(std::move(name), ControlKind::Button) {}
    std::string Caption;
    int Tag = 0;
    ModalResult Result = ModalResult::None;  // what pressing it makes of a modal form
    bool Default = false;                    // Enter presses it
    bool Cancel = false;                     // Escape presses it
    std::function<void()> OnClick;
};

class RadioGroup : public Control {
  public:
    explicit RadioGroup(std::string name) : Control(std::move(name), ControlKind::RadioGroup) {}
    std::string Caption;
    std::vector<std::string> Items;
    int ItemIndex = -1;
};

// Keeps a form's window where a person left it, across runs, where the system keeps such
// settings. Only the position: the size is the form's own.
struct FormPlacement {
    bool PositionOnly = true;
};

// A timer that a window system runs while its form is shown: OnTimer every Interval
// milliseconds while Enabled.
struct Timer {
    int Interval = 1000;
    bool Enabled = false;
    std::function<void()> OnTimer;
};

// What a form needs from the world around it: boxes to ask and to tell, other forms shown
// modally. Windows implements it with real boxes and windows; tests answer from a script.
class FormServices {
  public:
    virtual ~FormServices() = default;
    // A Yes/No box titled "Message", No the default: true only for Yes.
    virtual bool Confirm(std::string_view text) = 0;
    // A box titled "Error" with the error icon and OK.
    virtual void ShowError(std::string_view text) = 0;
    // Shows form modally and returns how it was closed: runs form.FormShow() once the form is
    // up and form.FormClose() as it closes, whatever closes it. While it is shown the form's
    // enabled timers run, and a button with a modal result other than None closes it with
    // that result (after its OnClick, if any); the window's own close is Cancel.
    virtual ModalResult ShowModal(class Form& form) = 0;
    // The decimal separator of the system's number format.
    virtual char DecimalSeparator() const { return '.'; }
};

enum class BorderStyle { Dialog, Sizeable };
// Where a form's window first appears.
enum class FormPosition { Designed, ScreenCenter };

class Form {
  public:
    Form(std::string name, FormServices& services) : name_(std::move(name)), services_(services) {}
    virtual ~Form() = default;
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    const std::string& Name() const { return name_; }
    std::string Caption;
    int ClientWidth = 0;
    int ClientHeight = 0;
    BorderStyle Border = BorderStyle::Dialog;
    FormPosition Position = FormPosition::ScreenCenter;
    // The control that gets the input focus when the form is shown (after FormShow, which may
    // change it); none: the window system's choice.
    Control* ActiveControl = nullptr;

    // Every control in tab order, for a window system to build and copy.
    const std::vector<Control*>& Controls() const { return controls_; }
    Control* Find(std::string_view name) const;
    // Timers the form runs while shown.
    const std::vector<Timer*>& Timers() const { return timers_; }
    // The keeper of the window's position, when the form has one.
    const FormPlacement* Placement() const { return placement_; }

    // The form was shown / is closing (after a button's modal result or the window's close).
    virtual void FormShow() {}
    virtual void FormClose() {}

    FormServices& Services() const { return services_; }

  protected:
    void Add(Control& control) { controls_.push_back(&control); }
    void Add(std::initializer_list<Control*> inTabOrder) {
        controls_.insert(controls_.end(), inTabOrder);
    }
    void Add(Timer& timer) { timers_.push_back(&timer); }
    void Add(FormPlacement& placement) { placement_ = &placement; }

  private:
    std::string name_;
    FormServices& services_;
    std::vector<Control*> controls_;
    std::vector<Timer*> timers_;
    FormPlacement* placement_ = nullptr;
};

}  // namespace fuel::tool
