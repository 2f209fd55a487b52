#include "hq/Console.h"

#include "hq/Handlers.h"

namespace fuel::hq {

const http::StaticFiles& ConsoleFiles() {
    static const http::StaticFiles files({&EmbeddedConsoleFiles(), &EmbeddedSharedConsoleFiles()});
    return files;
}

void handlers::ConsoleFile(Context&, const Call& call, Respond respond) {
    respond(ConsoleFiles().Serve(call));
}

}  // namespace fuel::hq
