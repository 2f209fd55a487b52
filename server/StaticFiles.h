// Files the daemon serves from inside itself: the web console's page, scripts and styles,
// at / and /assets/NAME, without a token (the console asks for one and sends it with its
// requests). The build embeds web/ (cmake/EmbedFiles.cmake); each file's type comes from its
// name's ending.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

namespace fuel::server {

struct StaticFile {
    std::string_view name;  // "index.html", "console.js"
    std::string_view contentType;
    std::string_view bytes;
};

const std::vector<StaticFile>& ConsoleFiles();

// The type a console file is served with: by its ending; application/octet-stream for an
// ending the console has no business with.
std::string_view ContentTypeOf(std::string_view name);

// What the browser may do with the console: its own scripts, styles and images only, and
// requests to this server only; no inline script, no frames, no forms sent elsewhere.
inline constexpr std::string_view kConsolePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The files as the build embeds them (generated from web/): each file's name and bytes.
const std::vector<std::pair<std::string_view, std::string_view>>& EmbeddedConsoleFiles();

}  // namespace fuel::server
