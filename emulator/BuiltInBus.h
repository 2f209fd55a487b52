// The example bus, examples/bus/station.conf, carried inside the programs: fuel-emulator
// serves it when it is given no configuration, and fuelctl's embedded emulator runs it, so
// that the two meet on the same dispensers (1, 3, 5 and 7).
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "emulator/Emulator.h"

namespace fuel::emulator {

// The file's name and bytes (generated from examples/bus by cmake/EmbedFiles.cmake).
const std::vector<std::pair<std::string_view, std::string_view>>& BuiltInBusFiles();

Config BuiltInConfig();

}  // namespace fuel::emulator
