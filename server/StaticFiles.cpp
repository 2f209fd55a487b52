#include "server/StaticFiles.h"

#include <array>
#include <utility>

namespace fuel::server {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kTypes = {{
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
}};

}  // namespace

std::string_view ContentTypeOf(std::string_view name) {
    for (const auto& [ending, type] : kTypes) {
        if (name.size() > ending.size() && name.substr(name.size() - ending.size()) == ending)
            return type;
    }
    return "application/octet-stream";
}

const std::vector<StaticFile>& ConsoleFiles() {
    static const std::vector<StaticFile> files = [] {
        std::vector<StaticFile> all;
        for (const auto& [name, bytes] : EmbeddedConsoleFiles())
            all.push_back({name, ContentTypeOf(name), bytes});
        return all;
    }();
    return files;
}

}  // namespace fuel::server
