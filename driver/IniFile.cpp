#include "driver/IniFile.h"

#include <fstream>
#include <iterator>
#include <limits>

#include "driver/Exceptions.h"
#include "driver/Text1251.h"

namespace fuel {
namespace {

// Ctrl-Z counts as a blank: old editors end a text file with it.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
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

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

bool QuoteWrapped(std::string_view value) {
    return value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front();
}

std::string_view Unquote(std::string_view value) {
    return QuoteWrapped(value) ? value.substr(1, value.size() - 2) : value;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// What can be read of the file; nothing when it cannot be read at all (a directory, say,
// which the runtime opens but then fails to read with an exception).
std::string ReadAll(std::ifstream& file) {
    try {
        return std::string{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    } catch (const std::exception&) {
        return std::string();
    }
}

}  // namespace

IniFile IniFile::Load(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return file ? Parse(ReadAll(file)) : IniFile();
}

IniFile IniFile::LoadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return file ? Parse(ReadAll(file)) : IniFile();
}

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            ini.lines_.push_back(Line{std::string(text), ""});
            break;
        }
        const std::size_t endingSize = text.substr(end, 2) == "\r\n" ? 2 : 1;
        ini.lines_.push_back(
            Line{std::string(text.substr(0, end)), std::string(text.substr(end, endingSize))});
        text.remove_prefix(end + endingSize);
    }
    return ini;
}

IniFile::Meaning IniFile::Classify(std::string_view line) {
    line = Trim(line);
    Meaning meaning;
    if (line.empty()) {
        return meaning;
    }
    if (line.front() == '[') {
        const std::size_t close = line.rfind(']');
        if (close != 0 && close != std::string_view::npos) {
            meaning.kind = Kind::Section;
            meaning.name = Trim(line.substr(1, close - 1));
            return meaning;
        }
    }
    if (line.front() == ';') {
        meaning.kind = Kind::Comment;
        return meaning;
    }
    meaning.kind = Kind::Key;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        meaning.name = line;
    } else {
        meaning.name = Trim(line.substr(0, equals));
        meaning.value = Trim(line.substr(equals + 1));
    }
    return meaning;
}

std::optional<IniFile::Span> IniFile::FindSection(std::string_view section) const {
    section = Trim(section);
    std::optional<Span> found;
    if (section.empty()) {
        found = Span{std::string_view::npos, 0};
    }
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Meaning meaning = Classify(lines_[i].text);
        if (meaning.kind != Kind::Section) {
            continue;
        }
        if (found) {
            found->end = i;
            return found;
        }
        if (SameIgnoringCaseCp1251(meaning.name, section)) {
            found = Span{i, lines_.size()};
        }
    }
    if (found) {
        found->end = lines_.size();
    }
    return found;
}

std::optional<std::size_t> IniFile::FindKey(const Span& span, std::string_view key) const {
    key = Trim(key);
    const std::size_t first = span.header == std::string_view::npos ? 0 : span.header + 1;
    for (std::size_t i = first; i < span.end; ++i) {
        const Meaning meaning = Classify(lines_[i].text);
        if (meaning.kind == Kind::Key && SameIgnoringCaseCp1251(meaning.name, key)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::string> IniFile::ReadString(std::string_view section,
                                               std::string_view key) const {
    const auto span = FindSection(section);
    if (!span) {
        return std::nullopt;
    }
    const auto line = FindKey(*span, key);
    if (!line) {
        return std::nullopt;
    }
    const Meaning meaning = Classify(lines_[*line].text);
    if (!meaning.value) {
        return std::nullopt;  // a key without '=' hides later keys of its name
    }
    return std::string(Unquote(*meaning.value));
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

std::string IniFile::NewLine() const {
    for (const Line& line : lines_) {
        if (!line.ending.empty()) {
            return line.ending;
        }
    }
    return "\r\n";
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        throw Exception("Значение с переводом строки не записать в INI-файл: " + std::string(key));
    }
    std::string stored(value);
    if (QuoteWrapped(value) ||
        (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back())))) {
        stored = "\"" + stored + "\"";
    }
    const std::string newLine = NewLine();
    const auto span = FindSection(section);
    if (!span) {
        if (!lines_.empty() && lines_.back().ending.empty()) {
            lines_.back().ending = newLine;
        }
        if (!lines_.empty() && !Trim(lines_.back().text).empty()) {
            lines_.push_back(Line{"", newLine});
        }
        lines_.push_back(Line{"[" + std::string(Trim(section)) + "]", newLine});
        lines_.push_back(Line{std::string(Trim(key)) + "=" + stored, newLine});
        return;
    }
    if (const auto line = FindKey(*span, key)) {
        const Meaning meaning = Classify(lines_[*line].text);
        lines_[*line].text = std::string(meaning.name) + "=" + stored;
        return;
    }
    // After the section's last key, so that comments and blank lines that lead into the next
    // section stay with it.
    std::size_t at = span->header == std::string_view::npos ? 0 : span->header + 1;
    for (std::size_t i = at; i < span->end; ++i) {
        if (Classify(lines_[i].text).kind == Kind::Key) {
            at = i + 1;
        }
    }
    if (at > 0 && lines_[at - 1].ending.empty()) {
        lines_[at - 1].ending = newLine;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at),
                  Line{std::string(Trim(key)) + "=" + stored, newLine});
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, std::int64_t value) {
    WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

std::string IniFile::Text() const {
    std::string text;
    for (const Line& line : lines_) {
        text += line.text;
        text += line.ending;
    }
    return text;
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
