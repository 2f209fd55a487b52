// Where the command line keeps the service tool's catalogue and its audit log, and how the
// commands find a controller and a parameter in it.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

#include "cli/Arguments.h"
#include "tool/Catalogue.h"

namespace fuel::cli {

inline constexpr char kSettingsVariable[] = "FUELCTL_SETTINGS";
inline constexpr char kAuditLogName[] = "fuelctl-audit.log";

// --settings DIR (`option`), else $FUELCTL_SETTINGS, else $XDG_CONFIG_HOME/fuelctl/Settings,
// else $HOME/.config/fuelctl/Settings. UsageError when none of them gives a directory.
std::filesystem::path SettingsDirectory(const std::optional<std::string>& option);

// When the directory holds no catalogue yet, the example catalogue goes there (files already
// there are kept), and `note` hears of it once.
void SeedExampleCatalogue(const std::filesystem::path& directory, std::ostream& note);

// The catalogue of the settings directory, seeded first if need be. A load that stopped is
// told on `note` with the file and the key.
void LoadCatalogue(tool::CControllerList& list, std::ostream& note);

// A controller or parameter named on the command line: its exact name, else its position
// (0, 1, ...), else a name that matches without regard to case and is unique. UsageError,
// with the names there are, otherwise.
int FindController(const tool::CControllerList& list, const std::string& word);
int FindParameter(const tool::CControllerList& list, int controller, const std::string& word);

}  // namespace fuel::cli
