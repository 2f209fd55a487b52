#include "http/OpenApi.h"

#include <map>

namespace fuel::http {
namespace {

using nlohmann::json;

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string_view InName(Parameter::In in) {
    switch (in) {
        case Parameter::In::Path:
            return "path";
        case Parameter::In::Query:
            return "query";
        case Parameter::In::Header:
            return "header";
    }
    return "query";
}

json Media(const DocumentedResponse& response) {
    json entry = {{"description", response.description}};
    if (!response.schema.is_null() || response.contentType != "application/json") {
        json media = json::object();
        if (!response.schema.is_null())
            media["schema"] = response.schema;
        entry["content"] = {{response.contentType, std::move(media)}};
    }
    return entry;
}

std::string KiB(std::size_t bytes) {
    return std::to_string(bytes / 1024) + " KiB";
}

json Operation(const Route& route, const AccessTable& access, const DocumentInfo& info) {
    json operation = {{"operationId", route.operationId}, {"summary", route.summary}};

    const std::vector<std::string> roleNames = access.RolesWith(route.permission);
    std::string roles;
    for (const std::string& role : roleNames)
        roles += (roles.empty() ? "" : ", ") + role;
    std::string description =
        route.permission == kPublic ? "No token needed." : "Roles that may send it: " + roles + ".";
    if (route.changes)
        description += " " + info.changingNote;
    operation["description"] = description;
    operation["x-roles"] = roleNames;
    operation["security"] = json::array();
    if (route.permission != kPublic)
        operation["security"].push_back({{"bearer", json::array()}});

    json parameters = json::array();
    for (const Parameter& parameter : route.parameters) {
        json entry = {{"name", parameter.name},
                      {"in", InName(parameter.in)},
                      {"required", parameter.required},
                      {"schema", parameter.schema},
                      {"description", parameter.description}};
        if (!parameter.example.is_null())
            entry["example"] = parameter.example;
        parameters.push_back(std::move(entry));
    }
    if (route.changes) {
        parameters.push_back(
            {{"name", "Idempotency-Key"},
             {"in", "header"},
             {"required", true},
             {"schema", {{"type", "string"}, {"minLength", 1}, {"maxLength", 255}}},
             {"description",
              "the client's name for this request: 1 to 255 visible ASCII "
              "characters, new for every new request"},
             {"example", info.keyExample}});
    }
    if (!parameters.empty())
        operation["parameters"] = std::move(parameters);

    if (!route.requestSchema.is_null()) {
        json content = {{"schema", route.requestSchema}};
        if (!route.requestExample.is_null())
            content["example"] = route.requestExample;
        operation["requestBody"] = {
            {"required", false},
            {"description", "JSON, at most " + KiB(info.bodyLimit) + "; none is the same as {}"},
            {"content", {{"application/json", std::move(content)}}}};
    }

    std::map<std::string, json> responses;
    for (const DocumentedResponse& response : route.responses)
        responses[std::to_string(response.status)] = Media(response);
    // The pipeline's refusals (and the daemon's common ones), where the route has none of
    // its own for that status.
    const auto common = [&](int status, const std::string& description) {
        responses.try_emplace(std::to_string(status),
                              Media({status, description, "application/json", SchemaRef("Error")}));
    };
    if (!route.parameters.empty() || !route.requestSchema.is_null() || route.changes) {
        common(400,
               "a parameter, the body or the Idempotency-Key is not what the request needs "
               "(the message names which)");
    }
    if (route.permission != kPublic) {
        common(401, "no token, or one that is unknown or revoked");
        if (roleNames.size() < access.RoleCount())
            common(403, "the token's role may not send this request");
    }
    if (route.changes) {
        for (const DocumentedResponse& response : info.changingResponses)
            responses.try_emplace(std::to_string(response.status), Media(response));
    }
    if (!route.requestSchema.is_null())
        common(413, "the body is over " + KiB(info.bodyLimit));
    operation["responses"] = json(responses);
    return operation;
}

// ErrorResponse's form.
json ErrorSchema(const DocumentInfo& info) {
    return {{"type", "object"},
            {"additionalProperties", false},
            {"required", {"error"}},
            {"properties",
             {{"error",
               {{"type", "object"},
                {"additionalProperties", false},
                {"required", {"code", "message"}},
                {"properties",
                 {{"code",
                   {{"type", "string"},
                    {"description", "what a program acts on, e.g. " + info.errorCodeExample}}},
                  {"message", {{"type", "string"}, {"description", "for people"}}},
                  {"data",
                   {{"description",
                     "what the failure concerns, e.g. " + info.errorDataExample}}}}}}}}}};
}

}  // namespace

json SchemaRef(const std::string& name) {
    return {{"$ref", "#/components/schemas/" + name}};
}

json OpenApiDocument(const std::vector<Route>& routes, const json& components,
                     const AccessTable& access, const DocumentInfo& info) {
    json paths = json::object();
    for (const Route& route : routes)
        paths[route.path][Lower(route.method)] = Operation(route, access, info);
    json all = components;
    all["schemas"]["Error"] = ErrorSchema(info);
    all["securitySchemes"] = {
        {"bearer", {{"type", "http"}, {"scheme", "bearer"}, {"description", info.tokenHelp}}}};
    return {{"openapi", "3.1.0"},
            {"info",
             {{"title", info.title}, {"version", info.version}, {"description", info.description}}},
            {"paths", std::move(paths)},
            {"components", std::move(all)}};
}

}  // namespace fuel::http
