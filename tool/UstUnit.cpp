#include "tool/UstUnit.h"

namespace fuel::tool {

TUstForm::TUstForm(FormServices& services) : Form("UstForm", services) {
    Caption = "Расчет юстировочного коэффициента";
    ClientWidth = 323;
    ClientHeight = 202;
    Border = BorderStyle::Sizeable;

    edKo.ReadOnly = true;
    for (SpinEdit* field : {&edVz, &edVm}) {
        field->Mode = SpinEdit::Entry::Decimal;
        field->Decimals = 2;
        field->DecimalSeparator = services.DecimalSeparator();
    }
    edVm.Increment = 0.01;
    BitBtn3.Caption = "Рассчитать";
    BitBtn3.OnClick = [this] { BitBtn3Click(); };
    edKn.ReadOnly = true;
    BitBtn1.Caption = "OK";
    BitBtn1.Result = ModalResult::Ok;
    BitBtn1.Default = true;
    BitBtn2.Caption = "Отмена";
    BitBtn2.Result = ModalResult::Cancel;
    BitBtn2.Cancel = true;

    for (Control* control : std::initializer_list<Control*>{&edKo, &edVz, &edVm, &BitBtn3, &edKn,
                                                            &BitBtn1, &BitBtn2}) {
        Add(*control);
    }
}

double TUstForm::RunAdjustment(double coefficient) {
    return coefficient;
}

void TUstForm::FormShow() {}

void TUstForm::BitBtn3Click() {}

}  // namespace fuel::tool
