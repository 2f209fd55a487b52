// Where a dialog stood when a person last closed it, kept between runs in the user's part of
// the registry (HKEY_CURRENT_USER\Software\FuelDriver\ServiceTool\<form>, values Left and
// Top). Only the position: the size is the dialog's own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace fuel::win32 {

std::optional<POINT> LoadWindowPosition(std::string_view form);
void SaveWindowPosition(std::string_view form, POINT position);

}  // namespace fuel::win32
