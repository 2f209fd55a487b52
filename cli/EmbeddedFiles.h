// Files the program carries inside itself, so that it works wherever it is copied.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

namespace fuel::cli {

// examples/catalogue/*.ini, the example catalogue for the built-in bus: each file's name
// (UTF-8) and bytes (as in the source tree). The built-in bus itself is the emulator's
// (emulator/BuiltInBus.h).
const std::vector<std::pair<std::string_view, std::string_view>>& ExampleCatalogueFiles();

}  // namespace fuel::cli
