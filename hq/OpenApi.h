// The OpenAPI 3.1 document of the head office's API, made by the HTTP stack from the route
// table (Routes.h), the schemas (Schemas.h) and the roles (Roles.h): served at
// /api/v1/openapi.json.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace fuel::hq {

const nlohmann::json& OpenApiDocument();
const std::string& OpenApiText();  // as served, made once

}  // namespace fuel::hq
