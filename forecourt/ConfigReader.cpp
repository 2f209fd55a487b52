#include "forecourt/ConfigReader.h"

#include "driver/Text1251.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>

namespace fuel::forecourt {
namespace {

namespace fs = std::filesystem;

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> SplitWords(std::string_view text) {
    std::vector<std::string> words;
    std::istringstream stream{std::string(text)};
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string Titled(std::string_view kind, std::string_view name) {
    return "[" + std::string(kind) + (name.empty() ? "" : " " + std::string(name)) + "]";
}

ConfigError GivenTwice(const fs::path& file, const ConfigSection& section, int first) {
    return ConfigErrorAt(
        file, section.line,
        section.Title() + " is given twice (first on line " + std::to_string(first) + ")");
}

// The whole text must be the number: from_chars alone would take "12x" for 12.
template <typename Number>
bool ParseWhole(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

}  // namespace

ConfigError ConfigErrorAt(const fs::path& file, int line, std::string_view what) {
    return ConfigError(file.string() + (line > 0 ? ":" + std::to_string(line) : "") + ": " +
                       std::string(what));
}

ConfigError ConfigErrorIn(const fs::path& file, int line, std::string_view kind,
                          std::string_view name, std::string_view what) {
    return ConfigErrorAt(file, line, Titled(kind, name) + ": " + std::string(what));
}

std::string ConfigSection::Title() const {
    return Titled(kind, name);
}

std::vector<ConfigSection> ReadConfigSections(std::string_view text, const fs::path& file) {
    std::vector<ConfigSection> sections;
    for (int number = 1; !text.empty(); ++number) {
        const auto end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        // Every name in the file ends up in the journal, the API and the console as UTF-8: a
        // file saved in another encoding (Windows-1251, say) is told apart here.
        if (const std::size_t bad = FirstNonUtf8(line); bad != std::string_view::npos) {
            throw ConfigErrorAt(file, number,
                                "this line is not UTF-8 text (byte " + std::to_string(bad + 1) +
                                    "): save the file as UTF-8");
        }
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                throw ConfigErrorAt(file, number, "a section header ends with ]");
            const std::vector<std::string> words = SplitWords(line.substr(1, line.size() - 2));
            if (words.empty() || words.size() > 2) {
                throw ConfigErrorAt(file, number, "a section header is [KIND] or [KIND NAME]");
            }
            ConfigSection section{words[0], words.size() > 1 ? words[1] : "", number, {}};
            for (const ConfigSection& earlier : sections) {
                if (earlier.kind == section.kind && earlier.name == section.name)
                    throw GivenTwice(file, section, earlier.line);
            }
            sections.push_back(std::move(section));
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            throw ConfigErrorAt(file, number,
                                "\"" + std::string(line) + "\" is not \"key = value\"");
        }
        std::string key(Trim(line.substr(0, equals)));
        if (key.empty())
            throw ConfigErrorAt(file, number, "a key has no name");
        if (sections.empty())
            throw ConfigErrorAt(file, number, "\"" + key + "\" comes before any section");
        ConfigSection& section = sections.back();
        for (const ConfigSection::Key& earlier : section.keys) {
            if (earlier.name == key) {
                throw ConfigErrorIn(
                    file, number, section.kind, section.name,
                    key + " is given twice (first on line " + std::to_string(earlier.line) + ")");
            }
        }
        section.keys.push_back(
            {std::move(key), std::string(Trim(line.substr(equals + 1))), number});
    }
    return sections;
}

SectionReader::SectionReader(ConfigSection section, fs::path file)
    : section_(std::move(section)), file_(std::move(file)) {}

void SectionReader::Fail(int line, std::string_view what) const {
    throw ConfigErrorIn(file_, line, section_.kind, section_.name, what);
}

void SectionReader::FailGivenTwice(int first) const {
    throw GivenTwice(file_, section_, first);
}

std::optional<SectionReader::Key> SectionReader::Take(std::string_view name) {
    const auto found = std::find_if(section_.keys.begin(), section_.keys.end(),
                                    [&](const Key& key) { return key.name == name; });
    if (found == section_.keys.end())
        return std::nullopt;
    Key key = std::move(*found);
    section_.keys.erase(found);
    return key;
}

SectionReader::Key SectionReader::Require(std::string_view name) {
    std::optional<Key> key = Take(name);
    if (!key)
        Fail(section_.line, std::string(name) + " is missing");
    Text(*key);
    return std::move(*key);
}

std::vector<SectionReader::Key> SectionReader::TakeStartingWith(std::string_view prefix) {
    std::vector<Key> taken;
    std::erase_if(section_.keys, [&](Key& key) {
        if (!key.name.starts_with(prefix))
            return false;
        taken.push_back(std::move(key));
        return true;
    });
    return taken;
}

void SectionReader::Finish() const {
    if (!section_.keys.empty()) {
        const Key& first = section_.keys.front();
        Fail(first.line, "no key \"" + first.name + "\"");
    }
}

void SectionReader::RefuseName() const {
    if (!section_.name.empty())
        Fail(section_.line, "takes no name");
}

const std::string& SectionReader::Text(const Key& key) const {
    if (key.value.empty())
        Fail(key.line, key.name + " is empty");
    return key.value;
}

std::vector<std::string> SectionReader::Words(const Key& key) const {
    return SplitWords(key.value);
}

std::int64_t SectionReader::Integer(const Key& key, std::int64_t low, std::int64_t high) const {
    std::int64_t value = 0;
    if (!ParseWhole(key.value, value) || value < low || value > high) {
        Fail(key.line, key.name + " must be a whole number from " + std::to_string(low) + " to " +
                           std::to_string(high) + ", not \"" + key.value + "\"");
    }
    return value;
}

double SectionReader::Decimal(const Key& key, double low, double high) const {
    double value = 0;
    if (!ParseWhole(key.value, value) || !std::isfinite(value) || value < low || value > high) {
        std::ostringstream range;
        range << low << " to " << high;
        Fail(key.line,
             key.name + " must be a number from " + range.str() + ", not \"" + key.value + "\"");
    }
    return value;
}

bool SectionReader::Boolean(const Key& key) const {
    if (key.value == "yes" || key.value == "true" || key.value == "1")
        return true;
    if (key.value == "no" || key.value == "false" || key.value == "0")
        return false;
    Fail(key.line, key.name + " must be yes or no, not \"" + key.value + "\"");
}

fs::path SectionReader::Path(const Key& key) const {
    const fs::path path{Text(key)};
    return path.is_absolute() ? path : (file_.parent_path() / path).lexically_normal();
}

}  // namespace fuel::forecourt
