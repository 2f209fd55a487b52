#include "server/OpenApi.h"

#include <map>

#include "server/Roles.h"
#include "server/Routes.h"
#include "server/Schemas.h"

#ifndef FUEL_VERSION
#error "FUEL_VERSION must be defined by the build"
#endif

namespace fuel::server {
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

json ErrorAnswer(const std::string& description) {
    return {{"description", description},
            {"content", {{"application/json", {{"schema", Ref("Error")}}}}}};
}

json Operation(const Route& route) {
    json operation = {{"operationId", route.operationId}, {"summary", route.summary}};

    std::string roles;
    json roleNames = json::array();
    for (const Role role : RolesWith(route.permission)) {
        roleNames.push_back(Name(role));
        roles += (roles.empty() ? "" : ", ") + std::string(Name(role));
    }
    std::string description = route.permission == Permission::Public
                                  ? "No token needed."
                                  : "Roles that may send it: " + roles + ".";
    if (route.changes) {
        description +=
            " Changes the forecourt: send an Idempotency-Key; the same key again (from the same "
            "client) answers what the first request was answered, without doing it twice.";
    }
    operation["description"] = description;
    operation["x-roles"] = roleNames;
    operation["security"] = json::array();
    if (route.permission != Permission::Public) {
        operation["security"].push_back({{"bearer", json::array()}});
    }

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
             {"example", "till-1-000042"}});
    }
    if (!parameters.empty())
        operation["parameters"] = std::move(parameters);

    if (!route.requestSchema.is_null()) {
        json content = {{"schema", route.requestSchema}};
        if (!route.requestExample.is_null())
            content["example"] = route.requestExample;
        operation["requestBody"] = {{"required", false},
                                    {"description", "JSON, at most 64 KiB; none is the same as {}"},
                                    {"content", {{"application/json", std::move(content)}}}};
    }

    std::map<std::string, json> responses;
    for (const Answer& answer : route.answers) {
        json entry = {{"description", answer.description}};
        if (!answer.schema.is_null() || answer.contentType != "application/json") {
            json media = json::object();
            if (!answer.schema.is_null())
                media["schema"] = answer.schema;
            entry["content"] = {{answer.contentType, std::move(media)}};
        }
        responses[std::to_string(answer.status)] = std::move(entry);
    }
    const auto common = [&](int status, const std::string& description) {
        responses.try_emplace(std::to_string(status), ErrorAnswer(description));
    };
    if (!route.parameters.empty() || !route.requestSchema.is_null() || route.changes) {
        common(400,
               "a parameter, the body or the Idempotency-Key is not what the request needs "
               "(the message names which)");
    }
    if (route.permission != Permission::Public) {
        common(401, "no token, or one that is unknown or revoked");
        if (RolesWith(route.permission).size() < std::size(kRoles)) {
            common(403, "the token's role may not send this request");
        }
    }
    if (route.changes) {
        common(409,
               "the Idempotency-Key was used for another request, or its first request is "
               "still running");
        common(503, "the forecourt is stopping, or the journal cannot record");
    }
    if (!route.requestSchema.is_null())
        common(413, "the body is over 64 KiB");
    operation["responses"] = json(responses);
    return operation;
}

json MakeDocument() {
    json paths = json::object();
    for (const Route& route : Routes()) {
        paths[route.path][Lower(route.method)] = Operation(route);
    }
    json components = Components();
    components["securitySchemes"] = {
        {"bearer",
         {{"type", "http"},
          {"scheme", "bearer"},
          {"description",
           "a token made with `fuel-forecourtd token add NAME --role ROLE`; the event streams "
           "also take it as the query parameter access_token, for browsers"}}}};
    return {
        {"openapi", "3.1.0"},
        {"info",
         {{"title", "fuel-forecourtd"},
          {"version", FUEL_VERSION},
          {"description",
           "The forecourt of a station: its fuel points, fills, sales and prices, and its "
           "events live. Errors are an HTTP status and {\"error\": {\"code\", \"message\"}}."}}},
        {"paths", std::move(paths)},
        {"components", std::move(components)}};
}

}  // namespace

const nlohmann::json& OpenApiDocument() {
    static const json document = MakeDocument();
    return document;
}

const std::string& OpenApiText() {
    static const std::string text = OpenApiDocument().dump();
    return text;
}

}  // namespace fuel::server
