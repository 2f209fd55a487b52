#include "platform/win32/FormLayout.h"

namespace fuel::win32 {
namespace {

// The programming dialog, 494 × 308: the options on a panel at the top; channel, address
// and the two catalogue lists with their buttons; the cells, reading and writing on the left;
// the active nozzles on the right; saving and leaving at the bottom.
const FormLayout kProgramming{
    "LParamForm",
    {
        {"Panel1", {4, 4, 486, 48}},
        {"OriginalAdresEdit", {12, 10, 300, 17}},
        {"StartInLiterEdit", {12, 29, 300, 17}},
        {"WStartEdit", {318, 10, 168, 17}},
        {"WDozaEdit", {318, 29, 168, 17}},
        {"edCOM", {8, 78, 52, 21}},
        {"edAddress", {68, 78, 52, 21}},
        {"cbCntList", {128, 78, 262, 21}},
        {"btnAdd_Kup", {396, 78, 28, 21}},
        {"btnDel_Kup", {427, 78, 28, 21}},
        {"btnEdit_Kup", {458, 78, 28, 21}},
        {"cbParamList", {128, 122, 262, 21}},
        {"btnAdd_Pr", {396, 122, 28, 21}},
        {"btnDel_Pr", {427, 122, 28, 21}},
        {"btnEdit_Pr", {458, 122, 28, 21}},
        {"edS0", {8, 166, 52, 21}},
        {"edS1", {66, 166, 52, 21}},
        {"edS2", {124, 166, 52, 21}},
        {"edS3", {182, 166, 52, 21}},
        {"PZU", {8, 192, 160, 17}},
        {"ReadValueBtn", {8, 214, 92, 25}},
        {"edReadValue", {106, 216, 128, 21}},
        {"WriteValueBtn", {8, 244, 92, 25}},
        {"edValue", {106, 246, 128, 21}},
        {"FuncBtn", {240, 244, 84, 25}},
        {"edActiveNozzle1", {338, 166, 70, 21}},
        {"edActiveNozzle2", {416, 166, 70, 21}},
        {"edCurNozzle1", {338, 210, 70, 21}},
        {"edCurNozzle2", {416, 210, 70, 21}},
        {"BitBtn2", {8, 277, 160, 25}},
        {"BitBtn1", {396, 277, 90, 25}},
    },
    {
        {"COM", {8, 62, 52, 14}},
        {"Адрес", {68, 62, 52, 14}},
        {"КУП", {128, 62, 120, 14}},
        {"Параметры", {128, 106, 120, 14}},
        {"Ячейки", {8, 150, 120, 14}},
        {"Активные пистолеты", {338, 150, 148, 14}},
        {"ячейка", {338, 194, 70, 14}},
        {"ячейка", {416, 194, 70, 14}},
    },
};

// The parameter editor, 327 × 274.
const FormLayout kParameter{
    "ParamForm",
    {
        {"edName", {8, 24, 311, 21}},
        {"edS0", {8, 70, 56, 21}},
        {"edS1", {70, 70, 56, 21}},
        {"edS2", {132, 70, 56, 21}},
        {"edS3", {194, 70, 56, 21}},
        {"PZU", {8, 102, 150, 17}},
        {"edDec", {8, 142, 52, 21}},
        {"cbReadOnly", {8, 172, 150, 17}},
        {"cbFunction", {8, 214, 150, 21}},
        {"rgScale", {168, 100, 151, 70}},
        {"BitBtn1", {163, 241, 75, 25}},
        {"BitBtn2", {244, 241, 75, 25}},
    },
    {
        {"Наименование", {8, 8, 200, 14}},
        {"Ячейки", {8, 54, 200, 14}},
        {"Знаков после запятой", {8, 126, 150, 14}},
        {"Функция", {8, 198, 150, 14}},
    },
};

// The controller editor, 324 × 130.
const FormLayout kController{
    "KUPForm",
    {
        {"edName", {8, 24, 308, 21}},
        {"edCurNozzle1", {8, 70, 60, 21}},
        {"edCurNozzle2", {76, 70, 60, 21}},
        {"BitBtn1", {160, 98, 75, 25}},
        {"BitBtn2", {241, 98, 75, 25}},
    },
    {
        {"Наименование", {8, 8, 200, 14}},
        {"Ячейки активных пистолетов", {8, 54, 250, 14}},
    },
};

// The adjustment calculator, 323 × 202: labels on the left, values on the right.
const FormLayout kAdjustment{
    "UstForm",
    {
        {"edKo", {166, 10, 149, 21}},
        {"edVz", {166, 40, 149, 21}},
        {"edVm", {166, 70, 149, 21}},
        {"BitBtn3", {166, 100, 149, 25}},
        {"edKn", {166, 136, 149, 21}},
        {"BitBtn1", {159, 169, 75, 25}},
        {"BitBtn2", {240, 169, 75, 25}},
    },
    {
        {"Текущее значение", {8, 13, 150, 14}},
        {"Заданная доза", {8, 43, 150, 14}},
        {"Показания мерника", {8, 73, 150, 14}},
        {"Расчетное значение", {8, 139, 150, 14}},
    },
};

}  // namespace

const ControlLayout* FormLayout::Find(std::string_view name) const {
    for (const ControlLayout& control : controls) {
        if (control.name == name) {
            return &control;
        }
    }
    return nullptr;
}

const FormLayout* LayoutOf(std::string_view formName) {
    for (const FormLayout* layout : {&kProgramming, &kParameter, &kController, &kAdjustment}) {
        if (layout->form == formName) {
            return layout;
        }
    }
    return nullptr;
}

}  // namespace fuel::win32
