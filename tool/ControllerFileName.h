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
// has that name. Names already stored are not this function's business: they stay as they are.
std::string NewControllerFileName(std::string_view name, const CControllerList& list);

inline constexpr std::size_t kMostFileNameCharacters = 100;

}  // namespace fuel::tool
