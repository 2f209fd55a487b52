#include "tool/EditorDialog.h"

#include "tool/EditorRules.h"

namespace fuel::tool {

bool ConfirmedWithStorableName(Form& editor, const Edit& name) {
    while (editor.Services().ShowModal(editor) == ModalResult::Ok) {
        const auto refusal = NameRefusal(name.Text);
        if (!refusal) {
            return true;
        }
        editor.Services().ShowError(*refusal + " ");
    }
    return false;
}

}  // namespace fuel::tool
