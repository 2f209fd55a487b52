#include "http/StaticFiles.h"

#include <array>
#include <stdexcept>

#include "http/Access.h"
#include "http/OpenApi.h"

namespace fuel::http {
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

StaticFiles::StaticFiles(const std::vector<const EmbeddedFiles*>& sets) {
    for (const EmbeddedFiles* set : sets) {
        for (const auto& [name, bytes] : *set) {
            for (const StaticFile& file : files_) {
                if (file.name == name)
                    throw std::logic_error("two console files are named " + std::string(name));
            }
            files_.push_back({name, ContentTypeOf(name), bytes});
        }
    }
}

Response StaticFiles::Serve(std::string_view name) const {
    for (const StaticFile& file : files_) {
        if (file.name == name) {
            Response response;
            response.contentType = std::string(file.contentType);
            response.body = std::string(file.bytes);
            response.SetHeader("Content-Security-Policy", std::string(kConsolePolicy));
            response.SetHeader("X-Content-Type-Options", "nosniff");
            response.SetHeader("Referrer-Policy", "no-referrer");
            return response;
        }
    }
    return ErrorResponse(404, "not-found", "this build has no console file " + std::string(name));
}

Response StaticFiles::Serve(const Call& call) const {
    return Serve(call.parameters.contains("file") ? call.parameters["file"].get<std::string>()
                                                  : std::string("index.html"));
}

std::vector<Route> ConsoleRoutes(const Handler& handler) {
    return {
        {.method = "GET",
         .path = "/",
         .operationId = "getConsole",
         .summary = "open the web console",
         .permission = std::string(kPublic),
         .responses = {{200, "the console's page", "text/html; charset=utf-8", nullptr},
                       {404, "this build has no console", "application/json", SchemaRef("Error")}},
         .handler = handler},
        {.method = "GET",
         .path = "/assets/{file}",
         .operationId = "getConsoleFile",
         .summary = "read a file of the web console",
         .permission = std::string(kPublic),
         .parameters = {{.name = "file",
                         .in = Parameter::In::Path,
                         .schema = {{"type", "string"}, {"maxLength", 128}},
                         .description = "the file's name",
                         .example = "console.js"}},
         .responses = {{200,
                        "the file, typed by its name's ending (a script as here; a style sheet "
                        "text/css, a picture image/svg+xml)",
                        "text/javascript; charset=utf-8", nullptr},
                       {404, "no such file", "application/json", SchemaRef("Error")}},
         .handler = handler},
    };
}

}  // namespace fuel::http
