// INI files read the way the Windows profile functions read them: section and key names
// compare case-insensitively (ASCII letters), the first matching section and key win, names
// and values are trimmed of blanks, a value wrapped in matching quotes loses them, and every
// other byte passes through unchanged (the files are Windows-1251; nothing is converted here).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuel {

class IniFile {
  public:
    IniFile() = default;
    // A missing or unreadable file reads as an empty one.
    static IniFile Load(const std::string& path);
    static IniFile Parse(std::string_view text);

    std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;
    // A value that is not a whole 32-bit number counts as absent and gives the default.
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const;
    // Booleans are integers: 0 false, any other number true.
    bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

  private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    std::vector<Section> sections_;
};

// Whole-string integer in the forms the host's runtime accepts: optional sign, then decimal
// digits, or hexadecimal after '$' or "0x". Anything else, or a value outside 32 bits, is not
// a number.
std::optional<std::int32_t> ParseInteger(std::string_view text);

}  // namespace fuel
