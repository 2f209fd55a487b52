// The OpenAPI 3.1 document of the forecourt's API, made by the HTTP stack (http/OpenApi.h)
// from the route table (Routes.h), the schemas (Schemas.h) and the roles (Roles.h): served at
// /api/v1/openapi.json and walked by its test, which sends every request it documents and
// holds every answer to it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace fuel::server {

const nlohmann::json& OpenApiDocument();
// The document as served (made once).
const std::string& OpenApiText();

}  // namespace fuel::server
