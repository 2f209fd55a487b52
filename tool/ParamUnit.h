// The parameter editor: one catalogue parameter's name, cells, ROM flag, decimal places,
// read-only flag, function and number system. It edits the catalogue in memory only; the
// programming dialog saves it.
#pragma once

#include <memory>

#include "tool/Catalogue.h"
#include "tool/Form.h"

namespace fuel::tool {

class TParamForm : public Form {
  public:
    explicit TParamForm(FormServices& services);

    Edit edName{"edName"};  // "Наименование"
    // "Ячейки": the parameter's cells 0..3, the most significant first.
    SpinEdit edS0{"edS0"};
    SpinEdit edS1{"edS1"};
    SpinEdit edS2{"edS2"};
    SpinEdit edS3{"edS3"};
    CheckBox PZU{"PZU"};
    SpinEdit edDec{"edDec"};  // "Знаков после запятой"
    CheckBox cbReadOnly{"cbReadOnly"};
    ComboBox cbFunction{"cbFunction"};  // "Функция": "<нет>", "юстировка"
    RadioGroup rgScale{"rgScale"};
    Button BitBtn1{"BitBtn1"};  // OK
    Button BitBtn2{"BitBtn2"};  // "Отмена"

    void FormShow() override;

    // Shows the editor for `parameter`, or for a new parameter when it is null, and returns
    // whether OK was pressed. On OK an existing parameter is changed in place (its type
    // follows its cells); a new one is handed back in `created` for the caller to append to
    // its controller. On cancel nothing changes and nothing is created.
    bool EditParameter(CParameter* parameter, std::unique_ptr<CParameter>& created);
};

}  // namespace fuel::tool
