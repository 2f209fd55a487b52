// Files that a crash, a full disk or a pulled plug cannot leave half-written: the new text
// goes into a temporary file beside the old one, is flushed to the disk, and only then takes
// the old file's place in one step. Until that step the old file is untouched.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "driver/IniFile.h"

namespace fuel::tool {

// The whole file; nullopt when there is no such file; fuel::Exception when there is one
// that cannot be read (so that a save never replaces a file it could not read first).
std::optional<std::string> ReadExistingFile(const std::filesystem::path& path);

// Replaces the file's contents, or creates it, atomically. fuel::Exception on failure, with
// the old file whole and no temporary file left behind.
void SaveFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// Reads the INI file as it is on disk now (a missing one is empty), lets `change` write its
// keys, and saves the result atomically: every line `change` does not write stays as it was.
void UpdateIniFile(const std::filesystem::path& path, const std::function<void(IniFile&)>& change);

}  // namespace fuel::tool
