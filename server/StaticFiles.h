// Files the daemon serves from inside itself: the web console's pages, scripts and styles,
// at / and /assets/NAME, without a token (the console asks for one and sends it with its
// requests). The console's build puts its files here; a build without it has none, and / then
// answers 404.
#pragma once

#include <string_view>
#include <vector>

namespace fuel::server {

struct StaticFile {
    std::string_view name;  // "index.html", "console.js"
    std::string_view contentType;
    std::string_view bytes;
};

const std::vector<StaticFile>& ConsoleFiles();

}  // namespace fuel::server
