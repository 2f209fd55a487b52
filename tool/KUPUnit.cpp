#include "tool/KUPUnit.h"

#include "tool/ControllerFileName.h"
#include "tool/EditorDialog.h"
#include "tool/EditorRules.h"

namespace fuel::tool {

TKUPForm::TKUPForm(FormServices& services) : Form("KUPForm", services) {
    Caption = "КУП";
    ClientWidth = 324;
    ClientHeight = 130;

    SetUpCellField(edCurNozzle1);
    SetUpCellField(edCurNozzle2);
    SetUpOkCancel(BitBtn1, BitBtn2);

    Add({&edName, &edCurNozzle1, &edCurNozzle2, &BitBtn1, &BitBtn2});
}

bool TKUPForm::EditController(CController* controller, const CControllerList& list,
                              std::unique_ptr<CController>& created) {
    created.reset();
    if (controller == nullptr) {
        edName.Text = kNewControllerName;
        edCurNozzle1.SetValue(kDefaultActiveNozzle);
        edCurNozzle2.SetValue(kDefaultActiveNozzle2);
    } else {
        edName.Text = controller->Name;
        edCurNozzle1.SetValue(controller->ActiveNozzle);
        edCurNozzle2.SetValue(controller->ActiveNozzle2);
    }

    if (!ConfirmedWithStorableName(*this, edName)) {
        return false;
    }
    if (controller == nullptr) {
        created = std::make_unique<CController>();
        // Named once, at creation: the file keeps its name when the controller is renamed.
        created->File = NewControllerFileName(edName.Text, list);
        controller = created.get();
    }
    controller->Name = edName.Text;
    controller->ActiveNozzle = static_cast<std::uint8_t>(edCurNozzle1.Value(kDefaultActiveNozzle));
    controller->ActiveNozzle2 =
        static_cast<std::uint8_t>(edCurNozzle2.Value(kDefaultActiveNozzle2));
    if (!created) {
        // The way out for a controller that the catalogue cannot be saved with: one whose
        // file another controller writes too, or one whose file is not in the directory.
        GiveOwnFileWhenNeeded(*controller, list);
    }
    return true;
}

void TKUPForm::FormShow() {
    ActiveControl = &edName;
}

}  // namespace fuel::tool
