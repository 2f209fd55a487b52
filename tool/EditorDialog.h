// What the two catalogue editors share: showing themselves until OK brings a name the
// catalogue files can keep, or the person gives up.
#pragma once

#include "tool/Form.h"

namespace fuel::tool {

// Shows the editor modally; when OK is pressed with a name the files cannot hold, says why
// and shows the editor again, with everything as typed. True for OK with a good name.
bool ConfirmedWithStorableName(Form& editor, const Edit& name);

}  // namespace fuel::tool
