// Files a daemon serves from inside itself: its web console's page, scripts, styles and
// pictures, at / and /assets/NAME, without a token (the console asks for one and sends it
// with its requests). The build embeds them (cmake/EmbedFiles.cmake); each file's type comes
// from its name's ending, and every answer carries the console's policy.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/Message.h"
#include "http/Routes.h"

namespace fuel::http {

// A file's name and bytes, as cmake/EmbedFiles.cmake's function gives them.
using EmbeddedFiles = std::vector<std::pair<std::string_view, std::string_view>>;

struct StaticFile {
    std::string_view name;  // "index.html", "console.js"
    std::string_view contentType;
    std::string_view bytes;
};

// The type a console file is served with: by its ending; application/octet-stream for an
// ending the console has no business with.
std::string_view ContentTypeOf(std::string_view name);

// What the browser may do with a console: its own scripts, styles and images only, and
// requests to the server that served it only; no inline script, no frames, no forms sent
// elsewhere.
inline constexpr std::string_view kConsolePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

class StaticFiles {
  public:
    // From one or more embedded sets (a console's own files and those it shares with another
    // daemon's); a name in two sets is a build fault: std::logic_error.
    explicit StaticFiles(const std::vector<const EmbeddedFiles*>& sets);

    const std::vector<StaticFile>& Files() const { return files_; }

    // The file as an answer with its type, the policy and no sniffing; 404 when there is
    // no such file.
    Response Serve(std::string_view name) const;

    // The file a console route's call names: its "file" parameter, or the page at /.
    Response Serve(const Call& call) const;

  private:
    std::vector<StaticFile> files_;
};

// The two routes of a console (GET / and GET /assets/{file}), public, answered by `handler`
// (which serves with StaticFiles::Serve(call)): one row each for the daemons' route tables.
std::vector<Route> ConsoleRoutes(const Handler& handler);

}  // namespace fuel::http
