#include "tool/ParamUnit.h"

#include "tool/EditorRules.h"

namespace fuel::tool {

TParamForm::TParamForm(FormServices& services) : Form("ParamForm", services) {
    Caption = "Параметр";
    ClientWidth = 327;
    ClientHeight = 274;

    for (SpinEdit* field : {&edS0, &edS1, &edS2, &edS3}) {
        field->Mode = SpinEdit::Entry::Hexadecimal;
        field->MinValue = 0;
        field->MaxValue = 0xFF;
        field->MaxLength = 2;
    }
    PZU.Caption = "Работать с ПЗУ";
    PZU.Bold = true;
    edDec.MinValue = 0;
    edDec.MaxValue = kMostDecimals;
    edDec.MaxLength = 1;
    cbReadOnly.Caption = "Только для чтения";
    cbFunction.Editable = true;
    cbFunction.Items = {"<нет>", "юстировка"};
    cbFunction.SetItemIndex(0);
    rgScale.Caption = "Система счисления";
    rgScale.Items = {"Двоично-десятичная", "Шестнадцатиричная"};
    rgScale.ItemIndex = 0;
    BitBtn1.Caption = "OK";
    BitBtn1.Result = ModalResult::Ok;
    BitBtn1.Default = true;
    BitBtn2.Caption = "Отмена";
    BitBtn2.Result = ModalResult::Cancel;
    BitBtn2.Cancel = true;

    for (Control* control :
         std::initializer_list<Control*>{&edName, &edS0, &edS1, &edS2, &edS3, &PZU, &edDec,
                                         &cbReadOnly, &cbFunction, &rgScale, &BitBtn1, &BitBtn2}) {
        Add(*control);
    }
}

bool TParamForm::EditParameter(CParameter*, std::unique_ptr<CParameter>&) {
    return false;
}

void TParamForm::FormShow() {}

}  // namespace fuel::tool
