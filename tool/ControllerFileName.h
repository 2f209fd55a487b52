// The parameter file of a new controller is named after the controller. A name is whatever
// the technician typed, so it is made into a file name that stays inside the settings
// directory, that Windows accepts, and that no other controller of the list uses.
#pragma once

#include <string>
#include <string_view>

#include "tool/Catalogue.h"

namespace fuel::tool {

// The name followed by ".ini", with every character Windows forbids in a file name (and any
// the Windows-1251 files cannot hold) as '_', blanks and dots at the ends dropped, a device
// name (CON, NUL, COM1 …) given a '_', at most kMostFileNameCharacters characters before
// ".ini", "КУП" for a name with nothing left; then " (2)", " (3)" … before ".ini" until
// neither another controller's file (compared without regard to case) nor the catalogue file
// has that name (as Windows compares names). Names already stored stay as they are, unless a
// controller must get a file of its own (below).
std::string NewControllerFileName(std::string_view name, const CControllerList& list);

// Whether a controller of `list` must get a parameter file of its own before the list can be
// saved: it has none, its name is no file of the settings directory (ParameterFile.h), or
// another controller of the list, or the catalogue, has the same file.
bool NeedsOwnFile(const CController& controller, const CControllerList& list);
// Gives such a controller a new file, named as a new controller's would be, and says whether
// it did. Its parameters as they are in memory go there at the next save; the old file is
// left as it is, for whoever else names it.
bool GiveOwnFileWhenNeeded(CController& controller, const CControllerList& list);

inline constexpr std::size_t kMostFileNameCharacters = 100;

}  // namespace fuel::tool
