// Paths are UTF-8 text inside the program. On Windows a narrow path would be read in the
// ANSI code page, so a Cyrillic file name must go through the UTF-8 conversion here.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace fuel::tool {

std::filesystem::path PathFromUtf8(std::string_view text);
std::string Utf8FromPath(const std::filesystem::path& path);

}  // namespace fuel::tool
