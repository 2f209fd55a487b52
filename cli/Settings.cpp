#include "cli/Settings.h"

#include <cstdlib>
#include <ostream>

#include "cli/EmbeddedFiles.h"
#include "driver/Text1251.h"
#include "tool/AtomicFile.h"
#include "tool/Utf8Path.h"

namespace fuel::cli {
namespace {

std::filesystem::path FromVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? tool::PathFromUtf8(value) : std::filesystem::path();
}

bool IsPosition(const std::string& word) {
    return !word.empty() && word.size() <= 9 &&
           word.find_first_not_of("0123456789") == std::string::npos;
}

// Case matters not, in Windows-1251 as in the files.
bool SameName(const std::string& a, const std::string& b) {
    return SameIgnoringCaseCp1251(Utf8ToCp1251(a), Utf8ToCp1251(b));
}

template <typename NameAt>
int Find(int count, const std::string& word, const std::string& what, NameAt nameAt) {
    for (int i = 0; i < count; ++i) {
        if (nameAt(i) == word) {
            return i;
        }
    }
    if (IsPosition(word) && std::stoi(word) < count) {
        return std::stoi(word);
    }
    int found = -1;
    for (int i = 0; i < count; ++i) {
        if (SameName(nameAt(i), word)) {
            if (found >= 0) {
                throw UsageError("'" + word + "' names more than one " + what);
            }
            found = i;
        }
    }
    if (found >= 0) {
        return found;
    }
    std::string names;
    for (int i = 0; i < count; ++i) {
        names += "\n  " + std::to_string(i) + "  " + nameAt(i);
    }
    throw UsageError("no " + what + " '" + word + "'" +
                     (count == 0 ? std::string(": there are none") : "; there are:" + names));
}

}  // namespace

std::filesystem::path SettingsDirectory(const std::optional<std::string>& option) {
    if (option) {
        return tool::PathFromUtf8(*option);
    }
    if (auto path = FromVariable(kSettingsVariable); !path.empty()) {
        return path;
    }
    if (auto path = FromVariable("XDG_CONFIG_HOME"); !path.empty()) {
        return path / "fuelctl" / "Settings";
    }
    if (auto path = FromVariable("HOME"); !path.empty()) {
        return path / ".config" / "fuelctl" / "Settings";
    }
    throw UsageError(std::string("no settings directory: give --settings DIR or set ") +
                     kSettingsVariable);
}

void SeedExampleCatalogue(const std::filesystem::path& directory, std::ostream& note) {
    std::error_code error;
    if (std::filesystem::exists(directory / tool::kCatalogueFileName, error)) {
        return;
    }
    tool::EnsureDirectory(directory, true);
    for (const auto& [name, bytes] : ExampleCatalogueFiles()) {
        const auto path = directory / tool::PathFromUtf8(name);
        if (!std::filesystem::exists(path, error)) {
            tool::SaveFileAtomically(path, bytes);
        }
    }
    note << "fuelctl: " << tool::Utf8FromPath(directory)
         << " had no catalogue; the example catalogue (example controllers for the built-in "
            "bus) is there now\n";
}

void LoadCatalogue(tool::CControllerList& list, std::ostream& note) {
    SeedExampleCatalogue(list.Directory(), note);
    if (const auto stop = list.Load()) {
        note << "fuelctl: warning: the catalogue did not load whole: " << stop->Describe()
             << "\n  (nothing after that place was loaded; a catalogue command that saves "
                "refuses without --force, which would drop it)\n";
    }
    for (const std::string& unread : list.UnreadParameterFiles()) {
        note << "fuelctl: warning: " << unread
             << "\n  ('fuelctl catalogue edit CONTROLLER' gives it a file of its own)\n";
    }
}

int FindController(const tool::CControllerList& list, const std::string& word) {
    return Find(list.Count(), word, "controller", [&](int i) { return list[i].Name; });
}

int FindParameter(const tool::CControllerList& list, int controller, const std::string& word) {
    const tool::CParameterList& params = list[controller].Params;
    return Find(params.Count(), word, "parameter of '" + list[controller].Name + "'",
                [&](int i) { return params[i].Name; });
}

}  // namespace fuel::cli
