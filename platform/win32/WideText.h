// The windows speak UTF-16 (the wide API), whatever the system's code page; the program
// speaks UTF-8. The two meet here.
#pragma once

#include <string>
#include <string_view>

namespace fuel::win32 {

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

}  // namespace fuel::win32
