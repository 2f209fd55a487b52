#include "platform/win32/FormLayout.h"

namespace fuel::win32 {
namespace {

// The programming dialog, 494 × 308: the options on a panel at the top; channel, address
// and the two catalogue lists with their buttons; the cells, reading and writing on the left;
// the active nozzles on the right; saving and leaving at the bottom.
const FormLayout kProgramming{
    "LParamForm",
    {
        // The long addressing option has a row of its own; the two direct-start options share
        // the last one.
        {"Panel1", {4, 4, 486, 64}},
        {"OriginalAdresEdit", {12, 9, 470, 17}},
        {"StartInLiterEdit", {12, 27, 470, 17}},
        {"WStartEdit", {12, 45, 230, 17}},
        {"WDozaEdit", {250, 45, 232, 17}},
        {"edCOM", {8, 90, 52, 21}},
        {"edAddress", {68, 90, 52, 21}},
        {"cbCntList", {128, 90, 262, 21}},
        {"btnAdd_Kup", {396, 90, 28, 21}},
        {"btnDel_Kup", {427, 90, 28, 21}},
        {"btnEdit_Kup", {458, 90, 28, 21}},
        {"cbParamList", {128, 130, 262, 21}},
        {"btnAdd_Pr", {396, 130, 28, 21}},
        {"btnDel_Pr", {427, 130, 28, 21}},
        {"btnEdit_Pr", {458, 130, 28, 21}},
        {"edS0", {8, 172, 52, 21}},
        {"edS1", {66, 172, 52, 21}},
        {"edS2", {124, 172, 52, 21}},
        {"edS3", {182, 172, 52, 21}},
        {"PZU", {8, 198, 200, 17}},
        {"ReadValueBtn", {8, 220, 92, 23}},
        {"edReadValue", {106, 221, 128, 21}},
        {"WriteValueBtn", {8, 248, 92, 23}},
        {"edValue", {106, 249, 128, 21}},
        {"FuncBtn", {240, 248, 92, 23}},
        {"edActiveNozzle1", {338, 172, 70, 21}},
        {"edActiveNozzle2", {416, 172, 70, 21}},
        {"edCurNozzle1", {338, 214, 70, 21}},
        {"edCurNozzle2", {416, 214, 70, 21}},
        {"BitBtn2", {8, 279, 160, 23}},
        {"BitBtn1", {396, 279, 90, 23}},
    },
    {
        {"COM", {8, 74, 52, 14}},
        {"Адрес", {68, 74, 52, 14}},
        {"КУП", {128, 74, 120, 14}},
        {"Параметры", {128, 114, 120, 14}},
        {"Ячейки", {8, 156, 120, 14}},
        {"Активные пистолеты", {338, 156, 148, 14}},
        {"ячейка", {338, 198, 70, 14}},
        {"ячейка", {416, 198, 70, 14}},
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
        {"PZU", {8, 102, 136, 17}},
        {"edDec", {8, 142, 52, 21}},
        {"cbReadOnly", {8, 172, 136, 17}},
        {"cbFunction", {8, 214, 136, 21}},
        {"rgScale", {150, 98, 169, 74}},
        {"BitBtn1", {163, 241, 75, 25}},
        {"BitBtn2", {244, 241, 75, 25}},
    },
    {
        {"Наименование", {8, 8, 200, 14}},
        {"Ячейки", {8, 54, 200, 14}},
        {"Знаков после запятой", {8, 126, 136, 14}},
        {"Функция", {8, 198, 136, 14}},
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

std::span<const FormLayout* const> Layouts() {
    static const FormLayout* const kAll[] = {&kProgramming, &kParameter, &kController,
                                             &kAdjustment};
    return kAll;
}

const FormLayout* LayoutOf(std::string_view formName) {
    for (const FormLayout* layout : Layouts()) {
        if (layout->form == formName) {
            return layout;
        }
    }
    return nullptr;
}

}  // namespace fuel::win32
