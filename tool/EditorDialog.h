// What the dialogs' editors share: the fields and buttons they are built from, and showing
// themselves until OK brings a name the catalogue files can keep, or the person gives up.
#pragma once

#include "tool/Form.h"

namespace fuel::tool {

// A cell number: two hexadecimal digits, 00..FF.
void SetUpCellField(SpinEdit& field);
// OK (the default button) and "Отмена" (Escape), each closing the form with its result.
void SetUpOkCancel(Button& ok, Button& cancel);

// Shows the editor modally; when OK is pressed with a name the files cannot hold, says why
// and shows the editor again, with everything as typed. True for OK with a good name.
bool ConfirmedWithStorableName(Form& editor, const Edit& name);

}  // namespace fuel::tool
