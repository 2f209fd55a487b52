// INI files as the Windows profile functions read them, and written the way a person would
// want their file treated.
//
// Reading: a line is cut at CR, LF or CR LF; blanks around it are dropped; "[name]" opens a
// section (the name runs to the last ']' on the line); "name=value" is a key; a line starting
// with ';' is a comment; a line without '=' is a key without a value (it answers with the
// default). Lines before the first section belong to a section without a name. Section and
// key names compare case-insensitively, Windows-1251 letters included; the first section of a
// name is the only one searched, and in it the first key of a name wins. Names and values are
// trimmed of blanks, and a value wrapped in a pair of matching quotes (" or ') loses them.
//
// Writing changes only the line of the key it writes and keeps every other line, comment,
// blank line, section and their order: a new key goes after the last key of its section, a
// new section at the end of the text. New lines end as the file's first line does (CR LF in
// a new file).
//
// The text is Windows-1251 bytes and nothing is converted here; callers convert names and
// values at their edge. Saving the text to a file is the caller's business (the service
// tool saves atomically).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuel {

class IniFile {
  public:
    IniFile() = default;
    // A missing or unreadable file reads as an empty one. The path is in the platform's
    // narrow form (on Windows the ANSI code page, as GetWindowsDirectoryA gives it).
    static IniFile Load(const std::string& path);
    // The same for a path of the program's own (any file name on any platform).
    static IniFile LoadFile(const std::filesystem::path& path);
    static IniFile Parse(std::string_view text);

    std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;
    // A value that is not a whole 32-bit number counts as absent and gives the default.
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const;
    // Booleans are integers: 0 false, any other number true.
    bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

    // Sets the key's value so that ReadString gives it back exactly: a value with blanks at
    // either end, or one wrapped in matching quotes, is stored inside one more pair of
    // quotes. A value with a line break or a NUL cannot be stored: fuel::Exception.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int64_t value);
    // "1" or "0".
    void WriteBool(std::string_view section, std::string_view key, bool value);

    // The whole text, every line as it was read or written.
    std::string Text() const;

  private:
    struct Line {
        std::string text;    // without its line ending
        std::string ending;  // "\r\n", "\n", "\r", or "" for a last line without one
    };
    enum class Kind { Blank, Comment, Section, Key };
    // What a line means when read.
    struct Meaning {
        Kind kind = Kind::Blank;
        std::string_view name;                  // section or key name, trimmed
        std::optional<std::string_view> value;  // trimmed, quotes still on
    };
    static Meaning Classify(std::string_view line);

    // Where a section's lines are: its header (npos for the section without a name before
    // the first header) and the line after its last line.
    struct Span {
        std::size_t header;
        std::size_t end;
    };
    std::optional<Span> FindSection(std::string_view section) const;
    std::optional<std::size_t> FindKey(const Span& span, std::string_view key) const;
    std::string NewLine() const;

    std::vector<Line> lines_;
};

// Whole-string integer in the forms the host's runtime accepts: optional sign, then decimal
// digits, or hexadecimal after '$' or "0x". Anything else, or a value outside 32 bits, is not
// a number.
std::optional<std::int32_t> ParseInteger(std::string_view text);

}  // namespace fuel
