// The driver's four options in cnf.INI, section "Varno", as the service tool saves them.
#pragma once

#include <filesystem>

namespace fuel::tool {

struct DriverOptions {
    bool origAdres = false;
    bool startInLiter = true;
    bool wStart = false;
    bool wDoza = false;
};

// Writes "OrigAdres", "StartInLiter", "WStart", "WDoza" in that order as "1" or "0", keeping
// every other line of the file, and replaces it atomically. fuel::Exception on failure.
void WriteDriverOptions(const std::filesystem::path& cnfIni, const DriverOptions& options);

}  // namespace fuel::tool
