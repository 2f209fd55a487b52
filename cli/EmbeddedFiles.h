// Files the program carries inside itself, so that it works wherever it is copied.
#pragma once

#include <string_view>
#include <vector>

namespace fuel::cli {

struct EmbeddedFile {
    std::string_view name;   // UTF-8
    std::string_view bytes;  // as in the source tree
};

// examples/catalogue/*.ini: the example catalogue for the built-in bus.
const std::vector<EmbeddedFile>& ExampleCatalogueFiles();
// examples/bus/station.conf: the built-in bus.
const std::vector<EmbeddedFile>& BuiltInBusFiles();

}  // namespace fuel::cli
