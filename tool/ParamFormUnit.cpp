#include "tool/ParamFormUnit.h"

namespace fuel::tool {
namespace {

constexpr int kRefreshMilliseconds = 4000;

void SetUpCellField(SpinEdit& field) {
    field.Mode = SpinEdit::Entry::Hexadecimal;
    field.MinValue = 0;
    field.MaxValue = 0xFF;
    field.MaxLength = 2;
}

void SetUpTagButton(Button& button, const char* caption, const char* hint, int tag) {
    button.Caption = caption;
    button.Hint = hint;
    button.Tag = tag;
}

void SetUpDisplay(Edit& field) {
    field.ReadOnly = true;
    field.TabStop = false;
}

}  // namespace

TLParamForm::TLParamForm(FormServices& services, ParamFormSettings settings)
    : Form("LParamForm", services), settings_(std::move(settings)) {
    Caption = "Программирование параметров ТРК";
    ClientWidth = 494;
    ClientHeight = 308;
    Add(FormPlacement1);

    OriginalAdresEdit.Caption = "Непоследовательная адресация пистолетов (1,4;2,3) ";
    StartInLiterEdit.Caption = "Старт только в литрах";
    WStartEdit.Caption = "Прямой пуск (через СТАРТ)";
    WDozaEdit.Caption = "Прямой пуск (через ДОЗУ)";
    edCOM.MinValue = 1;
    edCOM.MaxValue = kChannels;
    edCOM.SetValue(1);
    edAddress.MinValue = 0;
    edAddress.MaxValue = 31;
    edAddress.SetValue(1);
    SetUpTagButton(btnAdd_Kup, "+", "Добавить", kAddTag);
    SetUpTagButton(btnDel_Kup, "-", "Удалить", kDeleteTag);
    SetUpTagButton(btnEdit_Kup, "...", "Редактировать", kEditTag);
    SetUpTagButton(btnAdd_Pr, "+", "Добавить", kAddTag);
    SetUpTagButton(btnDel_Pr, "-", "Удалить", kDeleteTag);
    SetUpTagButton(btnEdit_Pr, "...", "Редактировать", kEditTag);
    for (SpinEdit* field : {&edS0, &edS1, &edS2, &edS3, &edCurNozzle1, &edCurNozzle2}) {
        SetUpCellField(*field);
    }
    PZU.Caption = "Работать с ПЗУ";
    PZU.Bold = true;
    ReadValueBtn.Caption = "Считать";
    SetUpDisplay(edReadValue);
    WriteValueBtn.Caption = "Записать";
    edValue.Mode = SpinEdit::Entry::Decimal;
    edValue.DecimalSeparator = services.DecimalSeparator();
    FuncBtn.Caption = "Рассчитать";
    FuncBtn.Visible = false;
    SetUpDisplay(edActiveNozzle1);
    SetUpDisplay(edActiveNozzle2);
    edActiveNozzle1.Text = "0";
    edActiveNozzle2.Text = "0";
    BitBtn2.Caption = "Сохранить изменения";
    BitBtn1.Caption = "Выход";
    BitBtn1.Cancel = true;
    BitBtn1.Result = ModalResult::Cancel;
    Timer1.Interval = kRefreshMilliseconds;
    Timer1.Enabled = false;

    // The events, wired once the fields hold their first values.
    cbCntList.OnChange = [this] { cbCntListChange(); };
    cbParamList.OnChange = [this] { cbParamListChange(); };
    ReadValueBtn.OnClick = [this] { ReadValueBtnClick(); };
    WriteValueBtn.OnClick = [this] { WriteValueBtnClick(); };
    FuncBtn.OnClick = [this] { FuncBtnClick(); };
    Timer1.OnTimer = [this] { BitBtn1Click(); };
    BitBtn2.OnClick = [this] { BitBtn2Click(); };
    for (Button* button : {&btnAdd_Kup, &btnDel_Kup, &btnEdit_Kup}) {
        button->OnClick = [this, button] { btnAdd_KupClick(*button); };
    }
    for (Button* button : {&btnAdd_Pr, &btnDel_Pr, &btnEdit_Pr}) {
        button->OnClick = [this, button] { btnAdd_PrClick(*button); };
    }
    edS0.OnChange = [this] { edS0Change(); };
    edS1.OnChange = [this] { edS1Change(); };
    edS2.OnChange = [this] { edS2Change(); };
    edS3.OnChange = [this] { edS3Change(); };
    edCurNozzle1.OnChange = [this] { edCurNozzle1Change(); };
    edCurNozzle2.OnChange = [this] { edCurNozzle2Change(); };
    PZU.OnClick = [this] { PZUClick(); };

    for (Control* control : std::initializer_list<Control*>{&Panel1,
                                                            &OriginalAdresEdit,
                                                            &StartInLiterEdit,
                                                            &WStartEdit,
                                                            &WDozaEdit,
                                                            &edCOM,
                                                            &edAddress,
                                                            &cbCntList,
                                                            &btnAdd_Kup,
                                                            &btnDel_Kup,
                                                            &btnEdit_Kup,
                                                            &cbParamList,
                                                            &btnAdd_Pr,
                                                            &btnDel_Pr,
                                                            &btnEdit_Pr,
                                                            &edS0,
                                                            &edS1,
                                                            &edS2,
                                                            &edS3,
                                                            &PZU,
                                                            &ReadValueBtn,
                                                            &edReadValue,
                                                            &WriteValueBtn,
                                                            &edValue,
                                                            &FuncBtn,
                                                            &edActiveNozzle1,
                                                            &edActiveNozzle2,
                                                            &edCurNozzle1,
                                                            &edCurNozzle2,
                                                            &BitBtn2,
                                                            &BitBtn1}) {
        Add(*control);
    }
    Add(Timer1);
}

TParamForm& TLParamForm::ParamForm() {
    if (!paramForm_) {
        paramForm_ = std::make_unique<TParamForm>(Services());
    }
    return *paramForm_;
}

TKUPForm& TLParamForm::KUPForm() {
    if (!kupForm_) {
        kupForm_ = std::make_unique<TKUPForm>(Services());
    }
    return *kupForm_;
}

TUstForm& TLParamForm::UstForm() {
    if (!ustForm_) {
        ustForm_ = std::make_unique<TUstForm>(Services());
    }
    return *ustForm_;
}

void ShowProgrammingDialog(std::unique_ptr<TLParamForm>& LParamForm, TVM30* driver,
                           FormServices& services, const ParamFormSettings& settings) {
    if (!LParamForm) {
        LParamForm = std::make_unique<TLParamForm>(services, settings);
    }
    if (driver != nullptr) {
        LParamForm->Driver = driver;
        services.ShowModal(*LParamForm);
    }
}

// The handlers' bodies come next; until then they leave the dialog as it is.
void TLParamForm::FormShow() {}
void TLParamForm::cbCntListChange() {}
void TLParamForm::cbParamListChange() {}
void TLParamForm::ReadValueBtnClick() {}
void TLParamForm::WriteValueBtnClick() {}
void TLParamForm::BitBtn1Click() {}
void TLParamForm::FuncBtnClick() {}
void TLParamForm::edS0Change() {}
void TLParamForm::edS1Change() {}
void TLParamForm::edS2Change() {}
void TLParamForm::edS3Change() {}
void TLParamForm::edCurNozzle1Change() {}
void TLParamForm::edCurNozzle2Change() {}
void TLParamForm::PZUClick() {}
void TLParamForm::btnAdd_KupClick(const Button&) {}
void TLParamForm::btnAdd_PrClick(const Button&) {}
void TLParamForm::BitBtn2Click() {}
void TLParamForm::SaveChanges() {}
void TLParamForm::FormClose() {}

}  // namespace fuel::tool
