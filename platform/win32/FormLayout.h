// Where each dialog's controls stand and what the labels beside them say: the part of a
// dialog's look that its logic does not care about. Positions are client pixels at the
// system's usual 96 dots per inch; the client sizes come from the forms themselves. The
// table is plain data, without Windows, so that a test on any system can hold it against
// the forms' controls.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "platform/win32/Placement.h"

namespace fuel::win32 {

struct ControlLayout {
    std::string_view name;  // the control's name in the form
    Placement place;        // for a drop-down list, the height of the closed box
};

struct LabelLayout {
    std::string_view text;  // UTF-8
    Placement place;
};

struct FormLayout {
    std::string_view form;  // the form's name
    std::vector<ControlLayout> controls;
    std::vector<LabelLayout> labels;

    const ControlLayout* Find(std::string_view name) const;
};

// Every form's layout.
std::span<const FormLayout* const> Layouts();

// The layout of the named form; nullptr for a form this library does not know.
const FormLayout* LayoutOf(std::string_view formName);

}  // namespace fuel::win32
