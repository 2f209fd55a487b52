// The service tool in the library: the programming dialog, its editors and their windows,
// created on first use and kept, with their control values, until the library is unloaded.
#pragma once

#include "driver/TVM30.h"

namespace fuel::win32 {

// Opens the programming dialog modally on driver (nothing is shown for a null driver). The
// catalogue is in "C:\KORA\Settings\"; the options are saved to the cnf.INI the driver reads.
void OpenProgrammingDialog(TVM30* driver);

// Destroys the dialogs and their windows; for the library's unloading, on the thread that
// used them.
void CloseServiceTool();

}  // namespace fuel::win32
