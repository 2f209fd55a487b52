#include "driver/IniFile.h"

#include <fstream>
#include <iterator>
#include <limits>

namespace fuel {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

IniFile IniFile::Load(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return IniFile();
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    return Parse(text);
}

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    Section* current = nullptr;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        if (!line.empty() && line.front() == '[') {
            const std::size_t close = line.find(']');
            const std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
            ini.sections_.push_back(Section{std::string(name), {}});
            current = &ini.sections_.back();
            continue;
        }
        const std::size_t equals = line.find('=');
        if (current == nullptr || equals == std::string_view::npos) {
            continue;  // lines before the first section and lines without '=' hold no value
        }
        current->entries.push_back(Entry{std::string(Trim(line.substr(0, equals))),
                                         std::string(Unquote(Trim(line.substr(equals + 1))))});
    }
    return ini;
}

std::optional<std::string> IniFile::ReadString(std::string_view section,
                                               std::string_view key) const {
    for (const Section& s : sections_) {
        if (!SameName(s.name, section)) {
            continue;
        }
        for (const Entry& e : s.entries) {
            if (SameName(e.key, key)) {
                return e.value;
            }
        }
        return std::nullopt;  // only the first section of a name counts
    }
    return std::nullopt;
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                                  std::int32_t defaultValue) const {
    const auto text = ReadString(section, key);
    if (!text) {
        return defaultValue;
    }
    return ParseInteger(*text).value_or(defaultValue);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::optional<std::int32_t> ParseInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    unsigned base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && LowerAscii(c) >= 'a' && LowerAscii(c) <= 'f') {
            digit = static_cast<unsigned>(LowerAscii(c) - 'a' + 10);
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
            return std::nullopt;
        }
    }
    if (negative) {
        value = -value;
    }
    // Hexadecimal spells the 32-bit pattern, so $FFFFFFFF is -1; decimal must fit a signed int.
    if (base == 16 && value > std::numeric_limits<std::int32_t>::max()) {
        value -= std::int64_t{1} << 32;
    }
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace fuel
