#include "server/StaticFiles.h"

namespace fuel::server {

// No console is built yet: nothing to serve.
const std::vector<StaticFile>& ConsoleFiles() {
    static const std::vector<StaticFile> files;
    return files;
}

}  // namespace fuel::server
