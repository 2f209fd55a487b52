// The controller editor: a controller model's name and the cells that hold its active
// nozzles. It edits the catalogue in memory only; the programming dialog saves it.
#pragma once

#include <memory>

#include "tool/Catalogue.h"
#include "tool/Form.h"

namespace fuel::tool {

class TKUPForm : public Form {
  public:
    explicit TKUPForm(FormServices& services);

    Edit edName{"edName"};  // "Наименование"
    // "Ячейки активных пистолетов"
    SpinEdit edCurNozzle1{"edCurNozzle1"};
    SpinEdit edCurNozzle2{"edCurNozzle2"};
    Button BitBtn1{"BitBtn1"};  // OK
    Button BitBtn2{"BitBtn2"};  // "Отмена"

    void FormShow() override;

    // Shows the editor for `controller`, or for a new controller when it is null, and returns
    // whether OK was pressed. On OK an existing controller is changed in place (its parameter
    // file keeps its name, unless it needs a file of its own: ControllerFileName.h); a new
    // one, with no parameters and a parameter file named after it that no controller of
    // `list` uses, is handed back in `created` for the caller to append to `list`. On cancel
    // nothing changes and nothing is created.
    bool EditController(CController* controller, const CControllerList& list,
                        std::unique_ptr<CController>& created);
};

}  // namespace fuel::tool
