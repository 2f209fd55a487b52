// Where a controller's parameter file is. The catalogue names it relative to the settings
// directory, and the Windows tools make its path as one string, the directory followed by
// the name: a name with a leading separator ("\x.ini", "/x.ini") still names a file in the
// directory, and so it does here. A name that would reach past the directory anyway is
// refused whole, for reading and for writing: a drive or any other colon ("D:x.ini",
// "C:\x.ini", a stream), a segment of dots ("..", which through a link can climb out even
// when the rest of the name comes back down), a device (CON, NUL, COM1 ...), a control
// character. Both separators count on every build: the catalogue is the same files on
// Windows and elsewhere.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace fuel::tool {

// Why the name is no file of the settings directory (the name and the reason, for the
// technician); nullopt when it is one. Names are UTF-8.
std::optional<std::string> ParameterFileRefusal(std::string_view fileName);

// The file's path in the directory; fuel::Exception with the refusal for a name that is no
// file there.
std::filesystem::path ParameterFilePath(const std::filesystem::path& directory,
                                        std::string_view fileName);

// Whether two names, both files of the directory, name one file on Windows: letters of
// either case and the dots and blanks that end a segment make no difference there.
bool SameParameterFile(std::string_view a, std::string_view b);

// A name Windows keeps for a device in every directory (CON, PRN, AUX, NUL, COM1..9,
// LPT1..9), whatever follows the first dot; the text in Windows-1251.
bool IsDeviceName(std::string_view cp1251);

}  // namespace fuel::tool
