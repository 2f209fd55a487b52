// The OpenAPI 3.1 document of the API, made from the route table (Routes.h) and the schemas
// (Schemas.h): served at /api/v1/openapi.json and walked by its test, which sends every
// request it documents and holds every answer to it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace fuel::server {

const nlohmann::json& OpenApiDocument();
// The document as served (made once).
const std::string& OpenApiText();

}  // namespace fuel::server
