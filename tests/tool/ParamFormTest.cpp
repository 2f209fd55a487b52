// The programming dialog, its editors and the calculator, driven as a person would, with the
// boxes and the modal forms answered from a script: what the lists select, what each type of
// parameter shows, the editors, saving and closing.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "driver/TVM30.h"
#include "testing/RecordingLink.h"
#include "tests/tool/FormTestSupport.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/EditorDialog.h"
#include "tool/ParamFormUnit.h"

namespace fuel::tool {
namespace {

using test::Parameter;
using test::Person;
using test::ReadBytes;

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ",") + item;
    }
    return text;
}

class ParamFormTest : public ::testing::Test {
  protected:
    test::TemporaryDirectory dir;
    test::RecordingLink link;  // silent unless a test gives it cells
    TVM30 driver{0, &link, ""};
    test::ScriptedServices services;
    TLParamForm form{services, {dir.Path(), dir.Path() / "cnf.INI"}};

    void Open(const std::vector<test::ControllerEntry>& catalogue) {
        test::SaveCatalogue(dir.Path(), catalogue);
        form.Driver = &driver;
        form.FormShow();
    }
    void OpenStandard() {
        Open({{"A", {Parameter("a1", 1), Parameter("a2", 2)}},
              {"B", {}},
              {"C", {Parameter("c1", 4)}}});
    }
    // Both lists with their selections, after checking that the controller list and the
    // catalogue agree.
    std::string Lists() {
        std::vector<std::string> names;
        if (form.Controllers) {
            form.Controllers->GetControllerNames(names);
        }
        EXPECT_EQ(names, form.cbCntList.Items);
        return Join(form.cbCntList.Items) + "[" + std::to_string(form.cbCntList.ItemIndex()) +
               "] " + Join(form.cbParamList.Items) + "[" +
               std::to_string(form.cbParamList.ItemIndex()) + "]";
    }
    std::string Files() {
        return ReadBytes(dir.Path() / "VPP.ini") + ReadBytes(dir.Path() / "A.ini");
    }
};

// Steps, as a person takes them: "K2" selects controller 2, "P1" parameter 1; "K-" and "P-"
// press delete, "K+" add (confirmed), "K*" edit renaming to Z, "K~" the same cancelled.
struct SelectionCase {
    const char* name;
    const char* steps;
    const char* answers;  // to the boxes, y or n
    const char* lists;
};

class ParamFormSelection : public ParamFormTest,
                           public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(ParamFormSelection, FirstEntryWhenNoneIsSelected) {
    OpenStandard();
    for (const char* a = GetParam().answers; *a != '\0'; ++a) {
        services.answers.push_back(*a == 'y');
    }
    const auto rename = [](TKUPForm& e) { e.edName.Text = "Z"; };
    for (const char* step = GetParam().steps; *step != '\0'; step += 2) {
        ComboBox& list = step[0] == 'K' ? form.cbCntList : form.cbParamList;
        if (step[1] >= '0' && step[1] <= '9') {
            list.Select(step[1] - '0');
            continue;
        }
        if (step[1] == '*' || step[1] == '~') {
            services.modals.push_back(
                Person<TKUPForm>(rename, step[1] == '*' ? ModalResult::Ok : ModalResult::Cancel));
        } else if (step[1] == '+') {
            services.modals.push_back(Person<TKUPForm>([](auto&) {}, ModalResult::Ok));
        }
        Button& button = step[0] == 'P'   ? form.btnDel_Pr
                         : step[1] == '-' ? form.btnDel_Kup
                         : step[1] == '+' ? form.btnAdd_Kup
                                          : form.btnEdit_Kup;
        button.OnClick();
    }
    EXPECT_EQ(Lists(), GetParam().lists);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ParamFormSelection,
    ::testing::Values(SelectionCase{"after_load", "", "", "A,B,C[0] a1,a2[0]"},
                      SelectionCase{"no_parameters", "K1", "", "A,B,C[1] [-1]"},
                      SelectionCase{"refill", "P1K2K0", "", "A,B,C[0] a1,a2[0]"},
                      SelectionCase{"delete_controller", "K-", "y", "B,C[0] [-1]"},
                      SelectionCase{"deletes_answered_no", "K-P-", "nn", "A,B,C[0] a1,a2[0]"},
                      SelectionCase{"delete_parameter", "P1P-", "y", "A,B,C[0] a1[0]"},
                      SelectionCase{"delete_every_controller", "K-K-K-", "yyy", "[-1] [-1]"},
                      SelectionCase{"add_keeps_selection", "K+", "", "A,B,C,Новый КУП[0] a1,a2[0]"},
                      SelectionCase{"rename_shows_at_once", "K*", "", "Z,B,C[0] a1,a2[0]"},
                      SelectionCase{"rename_cancelled", "K~", "", "A,B,C[0] a1,a2[0]"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ShowCase {
    const char* name;
    CParameter parameter;
    const char* shown;  // edValue V, edS0..edS3 0..3, FuncBtn F
    const char* value;  // edValue's text
};

class ParamFormShows : public ParamFormTest, public ::testing::WithParamInterface<ShowCase> {};

TEST_P(ParamFormShows, WhatEachTypeShows) {
    // Selected after a parameter that shows everything, so what it hides must be hidden.
    Open({{"A", {Parameter("all", 4, 0, 0, false, 1), GetParam().parameter}}});
    form.cbParamList.Select(1);
    std::string shown;
    const std::pair<const Control*, char> controls[] = {{&form.edValue, 'V'}, {&form.edS0, '0'},
                                                        {&form.edS1, '1'},    {&form.edS2, '2'},
                                                        {&form.edS3, '3'},    {&form.FuncBtn, 'F'}};
    for (const auto& [control, letter] : controls) {
        if (control->Visible) {
            shown += letter;
        }
    }
    EXPECT_EQ(shown, GetParam().shown);
    EXPECT_EQ(form.edValue.Text(), GetParam().value);
    EXPECT_EQ(form.edS0.Text(), "20");
}

INSTANTIATE_TEST_SUITE_P(
    Types, ParamFormShows,
    ::testing::Values(ShowCase{"one_cell_decimals", Parameter("p", 1, 0, 2), "V0", "0.00"},
                      ShowCase{"two_cells", Parameter("p", 2), "V01", "0"},
                      ShowCase{"four_plain_cells", Parameter("p", 4, 1, 2), "V0123", "0"},
                      ShowCase{"signed", Parameter("p", 10), "V0", "0"},
                      ShowCase{"dotted", Parameter("p", 30), "012", "0"},
                      ShowCase{"read_only", Parameter("p", 2, 0, 0, true), "01", "0"},
                      ShowCase{"adjustment", Parameter("p", 3, 0, 0, false, 1), "V012F", "0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ParamFormTest, AnEmptyCatalogueDoesNothing) {
    Open({});
    form.ReadValueBtn.OnClick();
    form.WriteValueBtn.OnClick();
    form.Timer1.OnTimer();
    EXPECT_EQ(Lists(), "[-1] [-1]");
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(services.errors.empty());
    EXPECT_EQ(form.edActiveNozzle1.Text, "0");
}

struct EditorCase {
    const char* name;
    CParameter before;
    std::function<void(TParamForm&)> act;
    ModalResult result;
    const char* after;  // type, cells 0..3, function
};

std::string Summary(const CParameter& p) {
    std::string text = std::to_string(p.Type) + ":";
    for (int k = 0; k < 4; ++k) {
        text += std::to_string(p.Cells[static_cast<std::size_t>(k)]) + " ";
    }
    return text + std::to_string(p.Function);
}

class ParamFormEditor : public ParamFormTest, public ::testing::WithParamInterface<EditorCase> {};

TEST_P(ParamFormEditor, TypeFollowsTheCells) {
    Open({{"A", {GetParam().before}}});
    services.modals.push_back(Person<TParamForm>(GetParam().act, GetParam().result));
    form.btnEdit_Pr.OnClick();
    EXPECT_EQ(Summary(form.Controllers->GetParameter(0, 0)), GetParam().after);
    EXPECT_EQ(form.edS2.Visible, GetParam().after[0] >= '3');
}

INSTANTIATE_TEST_SUITE_P(
    Cells, ParamFormEditor,
    ::testing::Values(
        EditorCase{"cells_0_and_2_give_3", Parameter("p", 1), [](auto& e) { e.edS2.SetText("2"); },
                   ModalResult::Ok, "3:32 0 2 0 0"},
        EditorCase{"dotted_with_four_cells_gives_4", Parameter("p", 30),
                   [](auto& e) { e.edS3.SetText("FF"); }, ModalResult::Ok, "4:32 33 34 255 0"},
        EditorCase{"function_chosen", Parameter("p", 1), [](auto& e) { e.cbFunction.Select(1); },
                   ModalResult::Ok, "1:32 0 0 0 1"},
        EditorCase{"cancel_changes_nothing", Parameter("p", 30),
                   [](auto& e) { e.edS3.SetText("FF"); }, ModalResult::Cancel, "30:32 33 34 0 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ParamFormTest, ANewParameterKeepsTheNumberSystemChosenLast) {
    Open({{"A", {Parameter("p", 1, 1)}}});
    services.modals.push_back(Person<TParamForm>([](auto&) {}, ModalResult::Cancel));
    form.btnEdit_Pr.OnClick();
    int chosen = -1;
    services.modals.push_back(Person<TParamForm>(
        [&chosen](TParamForm& e) {
            chosen = e.rgScale.ItemIndex;
            e.edS1.SetText("21");
        },
        ModalResult::Ok));
    form.btnAdd_Pr.OnClick();
    EXPECT_EQ(chosen, 1);
    EXPECT_EQ(Lists(), "A[0] p,Новый параметр[0]");
    const CParameter& added = form.Controllers->GetParameter(0, 1);
    EXPECT_EQ(added.Scale, 1);
    EXPECT_EQ(Summary(added), "2:0 33 0 0 0");
}

TEST_F(ParamFormTest, ANewControllersFileIsNamedOnceAndUnique) {
    Open({});
    const auto named = [](const char* name) {
        return Person<TKUPForm>([name](TKUPForm& e) { e.edName.Text = name; }, ModalResult::Ok);
    };
    services.modals = {named("X1"), named("X1"), named("X9"), named("Ĝ"), named("X3")};
    form.btnAdd_Kup.OnClick();
    form.btnAdd_Kup.OnClick();
    form.btnEdit_Kup.OnClick();  // the first one, renamed
    form.btnAdd_Kup.OnClick();   // refused once, then X3
    EXPECT_EQ(Lists(), "X9,X1,X3[0] [-1]");
    EXPECT_EQ((*form.Controllers)[0].File, "X1.ini");
    EXPECT_EQ((*form.Controllers)[1].File, "X1 (2).ini");
    ASSERT_EQ(services.errors.size(), 1u);
    EXPECT_NE(services.errors[0].find("Windows-1251"), std::string::npos);
}

struct CalculatorCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> presses;  // dose, vessel
    ModalResult result;
    double returned;
    const char* computed;  // edKn
    std::size_t errors;
};

class Calculator : public ::testing::TestWithParam<CalculatorCase> {};

TEST_P(Calculator, StartsFromTheOldCoefficientEveryTime) {
    const CalculatorCase& c = GetParam();
    test::ScriptedServices services;
    TUstForm calculator(services);
    services.modals.push_back(Person<TUstForm>(
        [&c](TUstForm& f) {
            EXPECT_EQ(f.edKo.Text + "/" + f.edVz.Text() + "/" + f.edVm.Text(),
                      "1.0000/10.00/10.00");
            for (const auto& [dose, vessel] : c.presses) {
                f.edVz.SetText(dose);
                f.edVm.SetText(vessel);
                f.BitBtn3.OnClick();
            }
        },
        c.result));
    EXPECT_EQ(calculator.RunAdjustment(1.0), c.returned);
    EXPECT_EQ(calculator.edKn.Text, c.computed);
    EXPECT_EQ(services.errors.size(), c.errors);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Presses, Calculator,
    ::testing::Values(
        CalculatorCase{"twice_the_same", {{"10", "10.05"}, {"10", "10.05"}}, ModalResult::Ok, 1.005, "1.0050", 0},
        CalculatorCase{"not_pressed", {}, ModalResult::Ok, 1.0, "", 0},
        CalculatorCase{"cancelled", {{"10", "10.05"}}, ModalResult::Cancel, 1.0, "1.0050", 0},
        CalculatorCase{"dose_zero_keeps_the_last", {{"10", "10,05"}, {"0", "10"}}, ModalResult::Ok, 1.005, "1.0050", 1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Cell numbers, an active-nozzle cell and the ROM box changed, then closed with or without
// "Сохранить изменения", and opened again.
struct KeepCase {
    const char* name;
    std::vector<bool> answers;
    const char* reopened;  // edS0, edCurNozzle1, PZU
};

class ParamFormKeeps : public ParamFormTest, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(ParamFormKeeps, OnlyWhatWasSaved) {
    Open({{"A", {Parameter("p", 1)}, 0x31}});
    const std::string before = Files();
    form.edS0.SetText("7");
    form.edCurNozzle1.SetText("zz");
    EXPECT_EQ((*form.Controllers)[0].ActiveNozzle, 0x30);  // no number: the default cell
    form.edCurNozzle1.SetText("41");
    form.PZU.SetChecked(true);
    services.answers.assign(GetParam().answers.begin(), GetParam().answers.end());
    form.BitBtn2.OnClick();
    form.FormClose();
    EXPECT_EQ(Files() == before, GetParam().answers.empty() || !GetParam().answers[0]);
    form.FormShow();
    EXPECT_EQ(form.edS0.Text() + " " + form.edCurNozzle1.Text() + " " +
                  std::to_string(form.PZU.Checked()),
              GetParam().reopened);
    EXPECT_EQ(services.questions, std::vector<std::string>{"Записать изменения?"});
}

INSTANTIATE_TEST_SUITE_P(Exits, ParamFormKeeps,
                         ::testing::Values(KeepCase{"saved", {true}, "07 41 1"},
                                           KeepCase{"save_answered_no", {false}, "20 31 0"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ParamFormTest, SavedOptionsGoToCnfIniAndTheDriverAtOnce) {
    test::WriteBytes(dir.Path() / "cnf.INI", "[Other]\r\nKey=1\r\n[Varno]\r\nWDoza=1\r\n");
    Open({{"A", {}}});
    form.OriginalAdresEdit.SetChecked(true);
    form.StartInLiterEdit.SetChecked(false);
    form.WStartEdit.SetChecked(true);
    form.WDozaEdit.SetChecked(false);
    services.answers = {true};
    form.BitBtn2.OnClick();
    EXPECT_EQ(ReadBytes(dir.Path() / "cnf.INI"),
              "[Other]\r\nKey=1\r\n[Varno]\r\nWDoza=0\r\nOrigAdres=1\r\nStartInLiter=0\r\n"
              "WStart=1\r\n");
    EXPECT_TRUE(driver.OrigAdres && driver.WStart && !driver.StartInLiter && !driver.WDoza);
    EXPECT_EQ(driver.NozzleCode(1, 2), 4);  // interleaved: 2 without
    const TVM30 next(0, &link, (dir.Path() / "cnf.INI").string());
    EXPECT_TRUE(next.OrigAdres && next.WStart && !next.StartInLiter && !next.WDoza);
}

TEST_F(ParamFormTest, ACatalogueThatCannotBeSavedLeavesTheOptions) {
    test::WriteBytes(dir.Path() / "VPP.ini", "[main]\r\nCount=1\r\n[item0]\r\nName=A\r\n");
    form.Driver = &driver;
    form.FormShow();
    form.OriginalAdresEdit.SetChecked(true);
    services.answers = {true};
    form.BitBtn2.OnClick();
    EXPECT_FALSE(driver.OrigAdres);
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "cnf.INI"));
    ASSERT_EQ(services.errors.size(), 1u);
    EXPECT_NE(services.errors[0].find("нет файла параметров"), std::string::npos);
}

// A catalogue that stopped loading at a byte above 255: told at opening, and written over
// only after a Yes to the question that says so.
class ParamFormIncomplete : public ParamFormTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ParamFormIncomplete, AskedBeforeWritingOverIt) {
    test::SaveCatalogue(dir.Path(), {{"A", {Parameter("p", 1)}}, {"B", {}}});
    test::WriteBytes(dir.Path() / "A.ini",
                     "[main]\r\nCount=1\r\n[item0]\r\nType=1\r\nCell0=1FF\r\n");
    const std::string before = Files();
    form.Driver = &driver;
    form.FormShow();
    ASSERT_EQ(services.errors.size(), 1u);
    EXPECT_NE(services.errors[0].find("A.ini"), std::string::npos);
    EXPECT_NE(services.errors[0].find("Cell0"), std::string::npos);
    services.answers = {true, GetParam()};
    form.BitBtn2.OnClick();
    ASSERT_EQ(services.questions.size(), 2u);
    EXPECT_NE(services.questions[1].find("A.ini"), std::string::npos);
    EXPECT_EQ(Files() != before, GetParam());
    EXPECT_EQ(std::filesystem::exists(dir.Path() / "cnf.INI"), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Answers, ParamFormIncomplete, ::testing::Bool());

// A line that reports an exchange done although it did not accept the reply: the 0 the
// driver then gives was never read.
TEST_F(ParamFormTest, AReplyTheLineDidNotAcceptIsNoValue) {
    test::FakeCells cells(link);
    cells.Ram(1)[0x20] = 0x55;
    Open({{"A", {Parameter("p", 1)}}});
    form.ReadValueBtn.OnClick();
    ASSERT_EQ(form.edReadValue.Text, "55");
    link.forcedState = 3;
    form.ReadValueBtn.OnClick();
    form.Timer1.OnTimer();
    EXPECT_EQ(form.edReadValue.Text + " " + form.edActiveNozzle1.Text, "ERROR ???");
    EXPECT_EQ(form.LastValue, 0);
    EXPECT_EQ(services.errors.size(), 1u);
}

TEST_F(ParamFormTest, AChannelThatIsNoNumberIsRefusedByName) {
    test::FakeCells cells(link);
    Open({{"A", {Parameter("p", 1)}}});
    form.edCOM.SetText("");
    form.ReadValueBtn.OnClick();
    EXPECT_EQ(form.edReadValue.Text, "ERROR");
    ASSERT_EQ(services.errors.size(), 1u);
    EXPECT_NE(services.errors[0].find("COM"), std::string::npos);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(ParamFormTest, TheDialogIsCreatedOnceAndShownOnlyWithADriver) {
    std::unique_ptr<TLParamForm> dialog;
    const ParamFormSettings settings{dir.Path(), dir.Path() / "cnf.INI"};
    ShowProgrammingDialog(dialog, nullptr, services, settings);
    ASSERT_NE(dialog, nullptr);
    TLParamForm* first = dialog.get();
    first->edCOM.SetText("7");
    ShowProgrammingDialog(dialog, &driver, services, settings);
    EXPECT_EQ(dialog.get(), first);
    EXPECT_EQ(dialog->Driver, &driver);
    EXPECT_EQ(dialog->edCOM.Text(), "7");
    EXPECT_EQ(services.shown, std::vector<std::string>{"LParamForm"});
}

// A catalogue written by hand: B shares A's file, C names a file above the directory. The
// dialog opens with what it could read, says what it did not, and saves nothing until each
// of them has a file of its own, which the controller editor gives.
TEST_F(ParamFormTest, SharedAndOutsideFilesAreNotSavedUntilEditedApart) {
    test::SaveCatalogue(dir.Path(), {{"A", {Parameter("a1", 1)}}});
    test::WriteBytes(dir.Path() / "VPP.ini",
                     "[main]\r\nCount=3\r\n[item0]\r\nName=A\r\nFile=A.ini\r\n[item1]\r\n"
                     "Name=B\r\nFile=\\A.ini\r\n[item2]\r\nName=C\r\nFile=..\\c.ini\r\n");
    const std::string before = Files();
    form.Driver = &driver;
    form.FormShow();
    ASSERT_EQ(services.errors.size(), 1u);
    EXPECT_NE(services.errors[0].find("\"C\": файл параметров \"..\\c.ini\""), std::string::npos)
        << services.errors[0];
    EXPECT_EQ(Lists(), "A,B,C[0] a1[0]");

    services.answers = {true};
    form.BitBtn2.OnClick();
    ASSERT_EQ(services.errors.size(), 2u);
    for (const char* named : {"\"A\" и \"B\"", "\"A.ini\"", "\"C\"", "..\\c.ini"}) {
        EXPECT_NE(services.errors[1].find(named), std::string::npos) << services.errors[1];
    }
    EXPECT_EQ(Files(), before);
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "cnf.INI"));

    const auto confirmed = Person<TKUPForm>([](TKUPForm&) {}, ModalResult::Ok);
    services.modals = {confirmed, confirmed};
    form.cbCntList.Select(1);
    form.btnEdit_Kup.OnClick();
    form.cbCntList.Select(2);
    form.btnEdit_Kup.OnClick();
    services.answers = {true};
    form.BitBtn2.OnClick();
    EXPECT_EQ(services.errors.size(), 2u) << services.errors.back();
    form.FormClose();
    form.FormShow();
    std::vector<std::string> files;
    for (int c = 0; c < form.Controllers->Count(); ++c) {
        files.push_back((*form.Controllers)[c].File + ":" +
                        std::to_string((*form.Controllers)[c].Params.Count()));
    }
    EXPECT_EQ(files, (std::vector<std::string>{"A.ini:1", "B.ini:1", "C.ini:0"}));
    EXPECT_FALSE(std::filesystem::exists(dir.Path().parent_path() / "c.ini"));
}

// Cell numbers show two hexadecimal digits, as a memory map does; a value in hexadecimal is
// shown as the number it is.
TEST(CellFieldTest, ShowsTwoDigits) {
    struct Case {
        double number;
        const char* cell;   // as a cell field shows it
        const char* value;  // as a hexadecimal value field shows it
    };
    for (const Case c : {Case{5, "05", "5"}, Case{0, "00", "0"}, Case{0xAB, "AB", "AB"},
                         Case{0x1FF, "FF", "1FF"}}) {
        SpinEdit cell("cell");
        SetUpCellField(cell);
        SpinEdit value("value");
        value.Mode = SpinEdit::Entry::Hexadecimal;
        cell.SetValue(c.number);
        value.SetValue(c.number);
        EXPECT_EQ(cell.Text() + " " + value.Text(), std::string(c.cell) + " " + c.value);
    }
    SpinEdit cell("cell");
    SetUpCellField(cell);
    cell.SetText("9");
    cell.Step(1);
    EXPECT_EQ(cell.Text(), "0A");
    cell.SetText("FF");
    cell.Step(1);
    EXPECT_EQ(cell.Text(), "FF");
}

}  // namespace
}  // namespace fuel::tool
