#include "tool/KUPUnit.h"

namespace fuel::tool {

TKUPForm::TKUPForm(FormServices& services) : Form("KUPForm", services) {
    Caption = "КУП";
    ClientWidth = 324;
    ClientHeight = 130;

    for (SpinEdit* field : {&edCurNozzle1, &edCurNozzle2}) {
        field->Mode = SpinEdit::Entry::Hexadecimal;
        field->MinValue = 0;
        field->MaxValue = 0xFF;
        field->MaxLength = 2;
    }
    BitBtn1.Caption = "OK";
    BitBtn1.Result = ModalResult::Ok;
    BitBtn1.Default = true;
    BitBtn2.Caption = "Отмена";
    BitBtn2.Result = ModalResult::Cancel;
    BitBtn2.Cancel = true;

    for (Control* control : std::initializer_list<Control*>{&edName, &edCurNozzle1, &edCurNozzle2,
                                                            &BitBtn1, &BitBtn2}) {
        Add(*control);
    }
}

bool TKUPForm::EditController(CController*, const CControllerList&, std::unique_ptr<CController>&) {
    return false;
}

void TKUPForm::FormShow() {}

}  // namespace fuel::tool
