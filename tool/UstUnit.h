// The adjustment-coefficient calculator: after a test dose, the current coefficient is scaled
// by what the measuring vessel showed over the dose that was set.
#pragma once

#include "tool/Form.h"

namespace fuel::tool {

class TUstForm : public Form {
  public:
    explicit TUstForm(FormServices& services);

    Edit edKo{"edKo"};          // "Текущее значение"
    SpinEdit edVz{"edVz"};      // "Заданная доза"
    SpinEdit edVm{"edVm"};      // "Показания мерника"
    Button BitBtn3{"BitBtn3"};  // "Рассчитать"
    Edit edKn{"edKn"};          // "Расчетное значение"
    Button BitBtn1{"BitBtn1"};  // OK
    Button BitBtn2{"BitBtn2"};  // "Отмена"

    // What the calculator was opened with, and what it computed (the same until
    // "Рассчитать" succeeds).
    double OldCoefficient = 0;
    double NewCoefficient = 0;

    void FormShow() override;
    void BitBtn3Click();

    // Shows the calculator for the current coefficient and returns the one to use: the
    // computed one after OK, otherwise the one given.
    double RunAdjustment(double coefficient);
};

}  // namespace fuel::tool
