// The reader of the station's configuration file, for the forecourt and for the layers above
// it that keep sections of their own in the same file (the broker bridge's [mqtt]).
//
// The file is read strictly, unlike the driver's own INI files: a key the program does not
// know, or one given twice, is a mistake a person made and wants to hear about, not
// something to pass over in silence. Sections are [KIND] or [KIND NAME]; '#' or ';' starts a
// comment line; keys are "name = value", white space (a Windows line end's CR included)
// around either taken off.
//
// Every message names the file and the line: "FILE:LINE: what" about the file as a whole,
// "FILE:LINE: [KIND NAME]: what" about what a section says.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fuel::forecourt {

class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "FILE:LINE: what" (line 0: "FILE: what").
ConfigError ConfigErrorAt(const std::filesystem::path& file, int line, std::string_view what);
// "FILE:LINE: [KIND NAME]: what", for a message about a section found after it was read.
ConfigError ConfigErrorIn(const std::filesystem::path& file, int line, std::string_view kind,
                          std::string_view name, std::string_view what);

// One section as the file has it: its keys each with its line, so that the messages of
// whoever gives them meaning point into the file.
struct ConfigSection {
    struct Key {
        std::string name;
        std::string value;
        int line = 0;
    };
    std::string kind;
    std::string name;       // empty for [KIND]
    int line = 0;           // the header's
    std::vector<Key> keys;  // in the file's order, each name once

    std::string Title() const;  // "[KIND]" or "[KIND NAME]"
};

// The file's sections in its order. Refuses, with the line, what no reading of it could
// mend: a header that is not [KIND] or [KIND NAME], a line that is neither a comment nor
// "key = value", a key before any section, a key given twice in one section, and a section
// given twice (the same kind and name).
std::vector<ConfigSection> ReadConfigSections(std::string_view text,
                                              const std::filesystem::path& file);

// One section's keys, taken one at a time by what knows them; Finish then refuses any key
// that nothing took. The getters check a key's value and refuse it with the key's line.
// Relative paths are taken from the file's directory.
class SectionReader {
  public:
    using Key = ConfigSection::Key;

    SectionReader(ConfigSection section, std::filesystem::path file);

    const std::string& Kind() const { return section_.kind; }
    const std::string& Name() const { return section_.name; }
    int Line() const { return section_.line; }
    std::string Title() const { return section_.Title(); }

    // "FILE:LINE: [KIND NAME]: what".
    [[noreturn]] void Fail(int line, std::string_view what) const;
    // At the header: "[KIND NAME] is given twice (first on line FIRST)", for a section that
    // means the same as an earlier one under another spelling of its name.
    [[noreturn]] void FailGivenTwice(int first) const;

    // The key, no longer in the section; nullopt when it is not (or no longer) there.
    std::optional<Key> Take(std::string_view name);
    // Take, refusing a key that is missing ("NAME is missing", at the header) or empty.
    Key Require(std::string_view name);
    // Every key whose name starts with `prefix`, in the file's order.
    std::vector<Key> TakeStartingWith(std::string_view prefix);
    // Refuses what is left: the first in the file, where the reader looks first.
    void Finish() const;

    // "takes no name", at the header, for a [KIND NAME] of a kind that has none.
    void RefuseName() const;
    // The value, refused when empty ("NAME is empty").
    const std::string& Text(const Key& key) const;
    std::vector<std::string> Words(const Key& key) const;
    std::int64_t Integer(const Key& key, std::int64_t low, std::int64_t high) const;
    double Decimal(const Key& key, double low, double high) const;
    bool Boolean(const Key& key) const;                // yes/no, true/false, 1/0
    std::filesystem::path Path(const Key& key) const;  // absolute; refused when empty

  private:
    ConfigSection section_;
    std::filesystem::path file_;
};

}  // namespace fuel::forecourt
