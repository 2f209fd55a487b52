#include "tool/ParamUnit.h"

#include <array>

#include "tool/EditorDialog.h"
#include "tool/EditorRules.h"
#include "tool/ParameterValue.h"

namespace fuel::tool {
namespace {

constexpr int kNoFunction = 0;
constexpr int kAdjustmentFunction = 1;

// An editable list shows its choice in its text line too.
void Choose(ComboBox& box, int index) {
    box.SetItemIndex(index);
    box.Text = box.ItemIndex() >= 0 ? box.Items[static_cast<std::size_t>(box.ItemIndex())] : "";
}

}  // namespace

TParamForm::TParamForm(FormServices& services) : Form("ParamForm", services) {
    Caption = "Параметр";
    ClientWidth = 327;
    ClientHeight = 274;

    for (SpinEdit* field : {&edS0, &edS1, &edS2, &edS3}) {
        SetUpCellField(*field);
    }
    PZU.Caption = "Работать с ПЗУ";
    PZU.Bold = true;
    edDec.MinValue = 0;
    edDec.MaxValue = kMostDecimals;
    edDec.MaxLength = 1;
    cbReadOnly.Caption = "Только для чтения";
    cbFunction.Editable = true;
    cbFunction.Items = {"<нет>", "юстировка"};
    Choose(cbFunction, kNoFunction);
    rgScale.Caption = "Система счисления";
    rgScale.Items = {"Двоично-десятичная", "Шестнадцатиричная"};
    rgScale.ItemIndex = 0;
    SetUpOkCancel(BitBtn1, BitBtn2);

    Add({&edName, &edS0, &edS1, &edS2, &edS3, &PZU, &edDec, &cbReadOnly, &cbFunction, &rgScale,
         &BitBtn1, &BitBtn2});
}

bool TParamForm::EditParameter(CParameter* parameter, std::unique_ptr<CParameter>& created) {
    created.reset();
    const std::array<SpinEdit*, 4> cells = {&edS0, &edS1, &edS2, &edS3};
    if (parameter == nullptr) {
        edName.Text = kNewParameterName;
        for (SpinEdit* cell : cells) {
            cell->SetValue(0);
        }
        PZU.SetChecked(false);
        edDec.SetValue(0);
        cbReadOnly.SetChecked(false);
        Choose(cbFunction, kNoFunction);
        // The number system stays as last chosen: a run of new parameters usually shares it.
    } else {
        edName.Text = parameter->Name;
        for (std::size_t k = 0; k < cells.size(); ++k) {
            cells[k]->SetValue(parameter->Cells[k]);
        }
        PZU.SetChecked(parameter->PZU);
        edDec.SetValue(parameter->Dec);
        cbReadOnly.SetChecked(parameter->ReadOnly);
        Choose(cbFunction,
               parameter->Function == kAdjustmentFunction ? kAdjustmentFunction : kNoFunction);
        // Any scale but 1 means decimal digits, so it shows (and is kept) as the first choice.
        rgScale.ItemIndex = IsBinaryScale(parameter->Scale) ? 1 : 0;
    }

    if (!ConfirmedWithStorableName(*this, edName)) {
        return false;
    }
    if (parameter == nullptr) {
        created = std::make_unique<CParameter>();
        parameter = created.get();
    }
    parameter->Name = edName.Text;
    for (std::size_t k = 0; k < cells.size(); ++k) {
        parameter->Cells[k] = static_cast<std::uint8_t>(cells[k]->Value(0));
    }
    parameter->PZU = PZU.Checked();
    parameter->Dec = static_cast<std::uint8_t>(edDec.Value(0));
    parameter->ReadOnly = cbReadOnly.Checked();
    parameter->Function = cbFunction.ItemIndex();
    parameter->Scale = rgScale.ItemIndex;
    parameter->Type = TypeFromCells(parameter->Cells);
    return true;
}

void TParamForm::FormShow() {
    ActiveControl = &edName;
}

}  // namespace fuel::tool
