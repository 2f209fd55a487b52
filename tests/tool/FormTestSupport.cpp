#include "tests/tool/FormTestSupport.h"

namespace fuel::test {

bool ScriptedServices::Confirm(std::string_view text) {
    questions.emplace_back(text);
    if (answers.empty()) {
        return false;
    }
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
}

tool::ModalResult ScriptedServices::ShowModal(tool::Form& form) {
    shown.push_back(form.Name());
    form.FormShow();
    tool::ModalResult result = tool::ModalResult::Cancel;
    if (!modals.empty()) {
        const auto script = modals.front();
        modals.pop_front();
        result = script(form);
    }
    form.FormClose();
    return result;
}

tool::CParameter Parameter(const std::string& name, int type, int scale, int dec, bool readOnly,
                           int function) {
    tool::CParameter parameter;
    parameter.Name = name;
    parameter.Type = static_cast<std::uint8_t>(type);
    parameter.Scale = scale;
    parameter.Dec = static_cast<std::uint8_t>(dec);
    parameter.ReadOnly = readOnly;
    parameter.Function = function;
    for (int k = 0; k < tool::CellCount(parameter.Type); ++k) {
        parameter.Cells[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(0x20 + k);
    }
    return parameter;
}

void SaveCatalogue(const std::filesystem::path& directory,
                   const std::vector<ControllerEntry>& controllers) {
    tool::CControllerList list(directory);
    for (const ControllerEntry& entry : controllers) {
        tool::CController& controller = list.Add();
        controller.Name = entry.name;
        controller.File = entry.name + ".ini";
        controller.ActiveNozzle = entry.activeNozzle;
        controller.ActiveNozzle2 = entry.activeNozzle2;
        for (const tool::CParameter& parameter : entry.parameters) {
            controller.Params.Add(std::make_unique<tool::CParameter>(parameter));
        }
    }
    list.Save();
}

}  // namespace fuel::test
