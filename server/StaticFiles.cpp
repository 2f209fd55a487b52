#include "server/StaticFiles.h"

namespace fuel::server {

const http::StaticFiles& ConsoleFiles() {
    static const http::StaticFiles files({&EmbeddedConsoleFiles()});
    return files;
}

}  // namespace fuel::server
