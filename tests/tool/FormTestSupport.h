// What the dialogs' tests share: services that answer the boxes and the modal forms from a
// script and keep what they were asked and told, and a catalogue written to a directory.
#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tool/Catalogue.h"
#include "tool/Form.h"

namespace fuel::test {

using ModalScript = std::function<tool::ModalResult(tool::Form&)>;

class ScriptedServices : public tool::FormServices {
  public:
    std::deque<bool> answers;  // to Confirm, in order; when none is left: No
    std::vector<std::string> questions, errors, shown;  // shown: the modal forms' names
    // What a person does in each modal form shown and how it is closed; none: Cancel.
    std::deque<ModalScript> modals;
    char separator = '.';

    bool Confirm(std::string_view text) override;
    void ShowError(std::string_view text) override { errors.emplace_back(text); }
    tool::ModalResult ShowModal(tool::Form& form) override;
    char DecimalSeparator() const override { return separator; }
};

// A modal script for a form of type F: acts on it, then closes it with `result`.
template <typename F>
ModalScript Person(std::function<void(F&)> act, tool::ModalResult result) {
    return [act, result](tool::Form& form) {
        act(dynamic_cast<F&>(form));
        return result;
    };
}

// A parameter whose cells are 0x20, 0x21 … as far as its type uses them.
tool::CParameter Parameter(const std::string& name, int type, int scale = 0, int dec = 0,
                           bool readOnly = false, int function = 0);

struct ControllerEntry {
    std::string name;  // its parameters go to "<name>.ini"
    std::vector<tool::CParameter> parameters;
    std::uint8_t activeNozzle = 0x30, activeNozzle2 = 0x40;
};
void SaveCatalogue(const std::filesystem::path& directory,
                   const std::vector<ControllerEntry>& controllers);

}  // namespace fuel::test
