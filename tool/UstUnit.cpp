#include "tool/UstUnit.h"

#include <optional>
#include <string>

#include "tool/Adjustment.h"
#include "tool/EditorDialog.h"

namespace fuel::tool {
namespace {

constexpr double kFirstDose = 10;

// A decimal field's value as typed, with either separator, as the field itself accepts.
std::optional<long double> FieldValue(const SpinEdit& field, char separator) {
    std::string text = field.Text();
    for (char& c : text) {
        if (c == ',' || c == '.') {
            c = separator;
        }
    }
    return ParseFieldValue(text, separator);
}

}  // namespace

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
    SetUpOkCancel(BitBtn1, BitBtn2);

    Add({&edKo, &edVz, &edVm, &BitBtn3, &edKn, &BitBtn1, &BitBtn2});
}

double TUstForm::RunAdjustment(double coefficient) {
    OldCoefficient = coefficient;
    NewCoefficient = coefficient;
    return Services().ShowModal(*this) == ModalResult::Ok ? NewCoefficient : coefficient;
}

void TUstForm::FormShow() {
    edKo.Text = FormatCoefficient(OldCoefficient, Services().DecimalSeparator());
    edKn.Text.clear();
    edVz.SetValue(kFirstDose);
    edVm.SetValue(kFirstDose);
}

// Always from OldCoefficient, so pressing it again with the same fields gives the same value.
void TUstForm::BitBtn3Click() {
    const char separator = Services().DecimalSeparator();
    const auto dose = FieldValue(edVz, separator);
    const auto measured = FieldValue(edVm, separator);
    if (!dose || !measured) {
        Services().ShowError("Значение \"" + (dose ? edVm : edVz).Text() + "\" не число ");
        return;
    }
    const AdjustmentResult result = CalculateCoefficient(OldCoefficient, *dose, *measured);
    if (!result.coefficient) {
        Services().ShowError(result.error + " ");
        return;
    }
    NewCoefficient = *result.coefficient;
    edKn.Text = FormatCoefficient(NewCoefficient, separator);
}

}  // namespace fuel::tool
