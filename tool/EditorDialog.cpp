#include "tool/EditorDialog.h"

#include "tool/EditorRules.h"

namespace fuel::tool {

void SetUpCellField(SpinEdit& field) {
    field.Mode = SpinEdit::Entry::Hexadecimal;
    field.MinValue = 0;
    field.MaxValue = 0xFF;
    field.Digits = 2;
    field.MaxLength = 2;
}

void SetUpOkCancel(Button& ok, Button& cancel) {
    ok.Caption = "OK";
    ok.Result = ModalResult::Ok;
    ok.Default = true;
    cancel.Caption = "Отмена";
    cancel.Result = ModalResult::Cancel;
    cancel.Cancel = true;
}

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
