// The parameter programming dialog: the technician picks a controller model (КУП) and one of
// its parameters from the catalogue, reads the parameter's cells from the controller at the
// channel ("COM") and address given, types a value and writes it, edits the catalogue and the
// driver's four options, and watches the controller's two active-nozzle cells.
//
// Where it finds its files comes from outside, in ParamFormSettings, so that the same logic
// runs under Windows and under tests. On Windows: the catalogue in kWindowsSettingsDirectory
// ("C:\KORA\Settings\"), cnf.INI in the Windows directory (the file the driver reads its
// options from); tests give a temporary directory for both. The boxes, the modal editors and
// the calculator go through the FormServices given.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "driver/TVM30.h"
#include "tool/Catalogue.h"
#include "tool/Form.h"
#include "tool/KUPUnit.h"
#include "tool/ParamUnit.h"
#include "tool/ParameterValue.h"
#include "tool/UstUnit.h"

namespace fuel::tool {

struct ParamFormSettings {
    std::filesystem::path SettingsDirectory;  // the catalogue file and the parameter files
    std::filesystem::path CnfIni;             // the driver's options file, written on save
};

class TLParamForm : public Form {
  public:
    TLParamForm(FormServices& services, ParamFormSettings settings);

    // ---- State besides the controls.

    // The driver every read, write and option goes through; set at each opening, not owned.
    TVM30* Driver = nullptr;
    // The catalogue, loaded from disk at each opening and dropped at closing: edits that were
    // not saved are gone then.
    std::unique_ptr<CControllerList> Controllers;
    // The value the last read assembled (0 after a failed one); the calculator starts from it.
    double LastValue = 0;

    // ---- Controls, in tab order.

    Panel Panel1{"Panel1"};  // holds the four options
    CheckBox OriginalAdresEdit{"OriginalAdresEdit"};
    CheckBox StartInLiterEdit{"StartInLiterEdit"};
    CheckBox WStartEdit{"WStartEdit"};
    CheckBox WDozaEdit{"WDozaEdit"};
    SpinEdit edCOM{"edCOM"};          // "COM": the channel
    SpinEdit edAddress{"edAddress"};  // "Адрес": the controller's bus address
    ComboBox cbCntList{"cbCntList"};  // "КУП"
    // The controller and parameter buttons share one handler each; the tag says what to do.
    static constexpr int kAddTag = 1;
    static constexpr int kDeleteTag = 2;
    static constexpr int kEditTag = 3;
    Button btnAdd_Kup{"btnAdd_Kup"};
    Button btnDel_Kup{"btnDel_Kup"};
    Button btnEdit_Kup{"btnEdit_Kup"};
    ComboBox cbParamList{"cbParamList"};  // "Параметры"
    Button btnAdd_Pr{"btnAdd_Pr"};
    Button btnDel_Pr{"btnDel_Pr"};
    Button btnEdit_Pr{"btnEdit_Pr"};
    // "Ячейки": the selected parameter's cell numbers, as many as its type uses.
    SpinEdit edS0{"edS0"};
    SpinEdit edS1{"edS1"};
    SpinEdit edS2{"edS2"};
    SpinEdit edS3{"edS3"};
    CheckBox PZU{"PZU"};
    Button ReadValueBtn{"ReadValueBtn"};
    Edit edReadValue{"edReadValue"};  // the value read, or "ERROR"
    Button WriteValueBtn{"WriteValueBtn"};
    SpinEdit edValue{"edValue"};  // the value to write, in the parameter's own entry
    Button FuncBtn{"FuncBtn"};    // the calculator, for adjustment coefficients
    // "Активные пистолеты", and their cells ("ячейка").
    Edit edActiveNozzle1{"edActiveNozzle1"};
    Edit edActiveNozzle2{"edActiveNozzle2"};
    SpinEdit edCurNozzle1{"edCurNozzle1"};
    SpinEdit edCurNozzle2{"edCurNozzle2"};
    Button BitBtn2{"BitBtn2"};  // "Сохранить изменения"
    Button BitBtn1{"BitBtn1"};  // "Выход"
    Timer Timer1;               // the active-nozzle refresh
    FormPlacement FormPlacement1;

    // ---- Handlers.

    void FormShow() override;
    void cbCntListChange();
    void cbParamListChange();
    void ReadValueBtnClick();
    void WriteValueBtnClick();
    void BitBtn1Click();  // the active-nozzle refresh (Timer1), not the "Выход" button
    void FuncBtnClick();
    void edS0Change();
    void edS1Change();
    void edS2Change();
    void edS3Change();
    void edCurNozzle1Change();
    void edCurNozzle2Change();
    void PZUClick();
    void btnAdd_KupClick(const Button& sender);
    void btnAdd_PrClick(const Button& sender);
    void BitBtn2Click();
    void FormClose() override;

    // Saves the catalogue, then hands the four options to the driver and writes them to
    // cnf.INI. Raises what failed; a catalogue that could not be saved leaves the options
    // as they were, in the driver and in the file.
    void SaveChanges();

    // The editors and the calculator, created on first use and kept with the dialog.
    TParamForm& ParamForm();
    TKUPForm& KUPForm();
    TUstForm& UstForm();

    const ParamFormSettings& Settings() const { return settings_; }

  private:
    CController* SelectedController();
    CParameter* SelectedParameter();
    SpinEdit& CellField(int k);
    void CellFieldChange(int k);
    // The selected parameter as the cell fields and the ROM box show it now.
    ValueLayout ShownLayout(const CParameter& parameter);
    // The channel and the address as typed; raises, naming the field, when either is no
    // whole number within its limits.
    std::uint32_t Channel() const;
    std::uint32_t Address() const;
    // An active-nozzle cell as the refresh shows it: "---" for cell 0 (nothing is read), the
    // number, or "???" when it could not be read.
    std::string ActiveNozzleShown(std::uint8_t cell);
    void ShowFailure(const std::string& message);

    ParamFormSettings settings_;
    // Why the catalogue in memory is not all that is on disk (a load that stopped), for the
    // question before a save would write over the rest.
    std::optional<std::string> notWhole_;
    std::unique_ptr<TParamForm> paramForm_;
    std::unique_ptr<TKUPForm> kupForm_;
    std::unique_ptr<TUstForm> ustForm_;
};

// The menu item's action. `LParamForm` is where the library keeps its one dialog: created
// here the first time and kept, with its control values, until the library lets it go. With
// a driver, the dialog works on it and is shown modally; without one nothing is shown.
void ShowProgrammingDialog(std::unique_ptr<TLParamForm>& LParamForm, TVM30* driver,
                           FormServices& services, const ParamFormSettings& settings);

}  // namespace fuel::tool
