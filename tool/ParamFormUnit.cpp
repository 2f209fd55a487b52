#include "tool/ParamFormUnit.h"

#include <algorithm>
#include <array>
#include <exception>
#include <initializer_list>

#include "driver/Exceptions.h"
#include "tool/DriverOptionsFile.h"
#include "tool/EditorDialog.h"
#include "tool/NumberText.h"

namespace fuel::tool {
namespace {

constexpr int kRefreshMilliseconds = 4000;
constexpr int kCellFields = 4;
constexpr std::uint8_t kDottedType = 30;  // three cells shown as numbers joined by dots
constexpr std::int32_t kAdjustmentFunction = 1;
constexpr char kNotAccepted[] = "Невозможно считать параметр: ответ контроллера не принят";

// A cell number as its field holds it: hexadecimal digits; the fallback when the text is no
// such number or more than a byte.
std::uint8_t CellNumber(const SpinEdit& field, std::uint8_t fallback) {
    const auto value = ParseHexadecimal("$" + field.Text());
    return value && *value >= 0 && *value <= 0xFF ? static_cast<std::uint8_t>(*value) : fallback;
}

// A whole number typed into an integer field, within the field's limits; anything else is
// refused, naming the field, rather than taken as some other channel or address.
std::uint32_t WholeNumber(const SpinEdit& field, const char* label) {
    const std::string& text = field.Text();
    const auto first = text.find_first_not_of(' ');
    const auto last = text.find_last_not_of(' ');
    std::int64_t value = -1;
    if (first != std::string::npos && last - first < 9) {
        value = 0;
        for (std::size_t i = first; i <= last && value >= 0; ++i) {
            value = text[i] >= '0' && text[i] <= '9' ? value * 10 + (text[i] - '0') : -1;
        }
    }
    const auto low = static_cast<std::int64_t>(field.MinValue);
    const auto high = static_cast<std::int64_t>(field.MaxValue);
    if (value < low || value > high) {
        throw Exception(std::string("Поле \"") + label + "\": нужно целое число от " +
                        std::to_string(low) + " до " + std::to_string(high));
    }
    return static_cast<std::uint32_t>(value);
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

    // clang-format off
    Add({&Panel1, &OriginalAdresEdit, &StartInLiterEdit, &WStartEdit, &WDozaEdit,
         &edCOM, &edAddress,
         &cbCntList, &btnAdd_Kup, &btnDel_Kup, &btnEdit_Kup,
         &cbParamList, &btnAdd_Pr, &btnDel_Pr, &btnEdit_Pr,
         &edS0, &edS1, &edS2, &edS3, &PZU,
         &ReadValueBtn, &edReadValue, &WriteValueBtn, &edValue, &FuncBtn,
         &edActiveNozzle1, &edActiveNozzle2, &edCurNozzle1, &edCurNozzle2,
         &BitBtn2, &BitBtn1});
    // clang-format on
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

void TLParamForm::FormShow() {
    cbCntList.Clear();
    cbParamList.Clear();
    if (Driver != nullptr) {
        OriginalAdresEdit.SetChecked(Driver->OrigAdres);
        StartInLiterEdit.SetChecked(Driver->StartInLiter);
        WStartEdit.SetChecked(Driver->WStart);
        WDozaEdit.SetChecked(Driver->WDoza);
    }
    Controllers = std::make_unique<CControllerList>(settings_.SettingsDirectory);
    notWhole_.reset();
    try {
        if (const auto stop = Controllers->Load()) {
            notWhole_ = stop->Describe();
        }
    } catch (const std::exception& e) {
        notWhole_ = e.what();
    }
    Controllers->GetControllerNames(cbCntList.Items);
    BitBtn1Click();
    Timer1.Enabled = true;
    cbCntListChange();
    cbParamListChange();
    // What did not load, in one box.
    std::string unloaded;
    if (notWhole_) {
        unloaded = "Каталог загружен не полностью: " + *notWhole_ +
                   ". Что стоит в файлах после этого места, здесь не показано; прежде чем "
                   "записать каталог поверх него, \"Сохранить изменения\" спросит об этом.";
    }
    for (const std::string& unread : Controllers->UnreadParameterFiles()) {
        unloaded += (unloaded.empty() ? "" : "\n") + unread + ".";
    }
    if (!unloaded.empty()) {
        ShowFailure(unloaded);
    }
}

void TLParamForm::cbCntListChange() {
    if (!cbCntList.Items.empty() && cbCntList.ItemIndex() < 0) {
        cbCntList.SetItemIndex(0);
    }
    CController* controller = SelectedController();
    if (controller == nullptr) {
        // Otherwise the parameters of a controller that is gone would still be offered.
        cbParamList.Clear();
        cbParamListChange();
        return;
    }
    Controllers->GetParameterNames(cbCntList.ItemIndex(), cbParamList.Items);
    cbParamList.SetItemIndex(-1);
    edCurNozzle1.SetValue(controller->ActiveNozzle);
    edCurNozzle2.SetValue(controller->ActiveNozzle2);
    cbParamListChange();
}

void TLParamForm::cbParamListChange() {
    if (!cbParamList.Items.empty() && cbParamList.ItemIndex() < 0) {
        cbParamList.SetItemIndex(0);
    }
    FuncBtn.Visible = false;
    edValue.SetValue(0);
    edValue.Visible = false;
    for (int k = 0; k < kCellFields; ++k) {
        CellField(k).Visible = false;
    }
    CParameter* parameter = SelectedParameter();
    if (parameter == nullptr) {
        return;
    }
    edValue.Decimals = parameter->Dec;
    edValue.DecimalSeparator = Services().DecimalSeparator();
    edValue.Mode =
        IsBinaryScale(parameter->Scale) ? SpinEdit::Entry::Hexadecimal : SpinEdit::Entry::Decimal;
    edValue.SetValue(0);  // its 0 as the parameter's own entry shows it ("0.00")
    PZU.SetChecked(parameter->PZU);
    const int cells = CellCount(parameter->Type);
    edValue.Visible = cells > 0 && parameter->Type != kDottedType;
    for (int k = 0; k < cells; ++k) {
        CellField(k).Visible = true;
        CellField(k).SetValue(parameter->Cells[static_cast<std::size_t>(k)]);
    }
    FuncBtn.Visible = parameter->Function == kAdjustmentFunction;
    if (parameter->ReadOnly) {
        edValue.Visible = false;
    }
}

void TLParamForm::ReadValueBtnClick() {
    LastValue = 0;
    edReadValue.Text.clear();
    CParameter* parameter = SelectedParameter();
    if (parameter == nullptr || Driver == nullptr) {
        return;
    }
    try {
        const ShownValue shown = ReadValue(*Driver, Channel(), Address(), ShownLayout(*parameter),
                                           Services().DecimalSeparator());
        // A line that reports success with a reply it did not accept gives 0 for a cell: that
        // 0 was never read, so it is not shown as the value.
        if (!shown.linkGood) {
            throw ESerialIO(kNotAccepted);
        }
        LastValue = shown.lastValue;
        edReadValue.Text = shown.text;
    } catch (const std::exception& e) {
        LastValue = 0;
        edReadValue.Text = "ERROR";
        ShowFailure(e.what());
    }
}

// The value is checked whole before the first cell goes out: a value the cells cannot hold,
// or a read-only parameter, is refused with the reason and nothing is sent.
void TLParamForm::WriteValueBtnClick() {
    edReadValue.Text.clear();
    CParameter* parameter = SelectedParameter();
    if (parameter == nullptr || Driver == nullptr) {
        return;
    }
    const char separator = Services().DecimalSeparator();
    const ValueLayout layout = ShownLayout(*parameter);
    std::string typed = edValue.Text();
    if (!IsBinaryScale(layout.scale)) {
        // Either separator, as the field itself takes a number.
        std::replace_if(
            typed.begin(), typed.end(), [](char c) { return c == ',' || c == '.'; }, separator);
    }
    const SplitResult split = SplitValue(layout, typed, separator);
    switch (split.outcome) {
        case SplitResult::Outcome::Refused:
            ShowFailure(split.error);
            return;
        case SplitResult::Outcome::NothingToWrite:
            return;
        case SplitResult::Outcome::Cells:
            break;
    }
    try {
        WriteCells(*Driver, Channel(), Address(), layout, split.cells);
    } catch (const std::exception& e) {
        ShowFailure(e.what());
    }
}

void TLParamForm::BitBtn1Click() {
    CController* controller = SelectedController();
    if (controller == nullptr || SelectedParameter() == nullptr || Driver == nullptr) {
        return;
    }
    edActiveNozzle1.Text.clear();
    edActiveNozzle2.Text.clear();
    edActiveNozzle1.Text = ActiveNozzleShown(controller->ActiveNozzle);
    edActiveNozzle2.Text = ActiveNozzleShown(controller->ActiveNozzle2);
}

void TLParamForm::FuncBtnClick() {
    ReadValueBtnClick();
    const double coefficient = UstForm().RunAdjustment(LastValue);
    if (CParameter* parameter = SelectedParameter()) {
        edValue.SetText(
            EntryText(ShownLayout(*parameter), coefficient, Services().DecimalSeparator()));
    } else {
        edValue.SetValue(coefficient);
    }
}

// The cell and flag edits change the catalogue in memory; "Сохранить изменения" keeps them.
void TLParamForm::edS0Change() {
    CellFieldChange(0);
}

void TLParamForm::edS1Change() {
    CellFieldChange(1);
}

void TLParamForm::edS2Change() {
    CellFieldChange(2);
}

void TLParamForm::edS3Change() {
    CellFieldChange(3);
}

void TLParamForm::edCurNozzle1Change() {
    if (CController* controller = SelectedController()) {
        controller->ActiveNozzle = CellNumber(edCurNozzle1, kDefaultActiveNozzle);
    }
}

void TLParamForm::edCurNozzle2Change() {
    if (CController* controller = SelectedController()) {
        controller->ActiveNozzle2 = CellNumber(edCurNozzle2, kDefaultActiveNozzle2);
    }
}

void TLParamForm::PZUClick() {
    if (CParameter* parameter = SelectedParameter()) {
        parameter->PZU = PZU.Checked();
    }
}

void TLParamForm::btnAdd_KupClick(const Button& sender) {
    CController* selected = SelectedController();
    if (Controllers == nullptr ||
        ((sender.Tag == kDeleteTag || sender.Tag == kEditTag) && selected == nullptr)) {
        return;
    }
    const int index = cbCntList.ItemIndex();
    if (sender.Tag == kDeleteTag) {
        if (Services().Confirm("Удалить данные по КУПу?")) {
            Controllers->Delete(index);
            cbCntList.Delete(index);
            cbCntListChange();
        }
        return;
    }
    if (sender.Tag == kAddTag || sender.Tag == kEditTag) {
        std::unique_ptr<CController> created;
        if (KUPForm().EditController(sender.Tag == kEditTag ? selected : nullptr, *Controllers,
                                     created)) {
            if (created) {
                cbCntList.Items.push_back(created->Name);
                Controllers->Add(std::move(created));
            } else {
                // A renamed controller shows its new name at once, not at the next opening.
                cbCntList.Items[static_cast<std::size_t>(index)] = selected->Name;
            }
        }
    }
    cbCntListChange();
}

void TLParamForm::btnAdd_PrClick(const Button& sender) {
    CController* controller = SelectedController();
    CParameter* selected = SelectedParameter();
    if (controller == nullptr ||
        ((sender.Tag == kDeleteTag || sender.Tag == kEditTag) && selected == nullptr)) {
        return;
    }
    const int index = cbParamList.ItemIndex();
    if (sender.Tag == kDeleteTag) {
        if (Services().Confirm("Удалить параметр?")) {
            controller->Params.Delete(index);
            cbParamList.Delete(index);
            cbParamListChange();
        }
        return;
    }
    if (sender.Tag == kAddTag || sender.Tag == kEditTag) {
        std::unique_ptr<CParameter> created;
        if (ParamForm().EditParameter(sender.Tag == kEditTag ? selected : nullptr, created)) {
            if (created) {
                cbParamList.Items.push_back(created->Name);
                controller->Params.Add(std::move(created));
            } else {
                // As for controllers: the new name shows at once.
                cbParamList.Items[static_cast<std::size_t>(index)] = selected->Name;
            }
        }
    }
    cbParamListChange();
}

void TLParamForm::BitBtn2Click() {
    if (!Services().Confirm("Записать изменения?")) {
        return;
    }
    try {
        SaveChanges();
    } catch (const std::exception& e) {
        ShowFailure(e.what());
    }
}

void TLParamForm::SaveChanges() {
    if (Controllers == nullptr) {
        return;
    }
    if (notWhole_) {
        if (!Services().Confirm(
                "Каталог был загружен не полностью (" + *notWhole_ +
                "). Если записать его, всё, что в файлах стоит после этого места, будет "
                "потеряно. Записать каталог? При ответе \"Нет\" ничего не записывается.")) {
            return;
        }
        Controllers->Save(CControllerList::Overwrite::EvenIncomplete);
        notWhole_.reset();
    } else {
        Controllers->Save();
    }
    const DriverOptions options{OriginalAdresEdit.Checked(), StartInLiterEdit.Checked(),
                                WStartEdit.Checked(), WDozaEdit.Checked()};
    if (Driver != nullptr) {
        Driver->OrigAdres = options.origAdres;
        Driver->StartInLiter = options.startInLiter;
        Driver->WStart = options.wStart;
        Driver->WDoza = options.wDoza;
    }
    WriteDriverOptions(settings_.CnfIni, options);
}

void TLParamForm::FormClose() {
    Timer1.Enabled = false;
    Controllers.reset();
    notWhole_.reset();
}

CController* TLParamForm::SelectedController() {
    const int index = cbCntList.ItemIndex();
    if (Controllers == nullptr || index < 0 || index >= Controllers->Count()) {
        return nullptr;
    }
    return &(*Controllers)[index];
}

CParameter* TLParamForm::SelectedParameter() {
    CController* controller = SelectedController();
    const int index = cbParamList.ItemIndex();
    if (controller == nullptr || index < 0 || index >= controller->Params.Count()) {
        return nullptr;
    }
    return &controller->Params[index];
}

SpinEdit& TLParamForm::CellField(int k) {
    const std::array<SpinEdit*, kCellFields> fields = {&edS0, &edS1, &edS2, &edS3};
    return *fields.at(static_cast<std::size_t>(k));
}

void TLParamForm::CellFieldChange(int k) {
    if (CParameter* parameter = SelectedParameter()) {
        parameter->Cells[static_cast<std::size_t>(k)] = CellNumber(CellField(k), 0);
    }
}

ValueLayout TLParamForm::ShownLayout(const CParameter& parameter) {
    ValueLayout layout = LayoutOf(parameter);
    for (int k = 0; k < kCellFields; ++k) {
        layout.cells[static_cast<std::size_t>(k)] = CellNumber(CellField(k), 0);
    }
    layout.rom = PZU.Checked();
    return layout;
}

std::uint32_t TLParamForm::Channel() const {
    return WholeNumber(edCOM, "COM");
}

std::uint32_t TLParamForm::Address() const {
    return WholeNumber(edAddress, "Адрес");
}

std::string TLParamForm::ActiveNozzleShown(std::uint8_t cell) {
    if (cell == 0) {
        return "---";
    }
    try {
        const std::uint32_t channel = Channel();
        const auto nozzle = ReadActiveNozzle(*Driver, channel, Address(), cell);
        if (Driver->GetLinkState(static_cast<std::uint8_t>(channel)) != link_state::kGood) {
            return "???";
        }
        return std::to_string(nozzle.value_or(0));
    } catch (const std::exception&) {
        return "???";
    }
}

void TLParamForm::ShowFailure(const std::string& message) {
    Services().ShowError(message + " ");
}

}  // namespace fuel::tool
