// The JSON shapes the API speaks, as JSON Schema: the OpenAPI document's components, the
// checks on request bodies and, in the tests, the checks on every answer. The names and
// fields are the forecourt library's (its ToJson); this is the one place they are written
// down for clients.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "http/JsonSchema.h"

namespace fuel::server {

// {"schemas": {"FuelPoint": {...}, "Sale": {...}, ...}}: the OpenAPI document's
// "components", so that "#/components/schemas/Sale" resolves inside the document.
const nlohmann::json& Components();

// {"components": Components()}: where a schema's "$ref"s resolve outside the document.
const nlohmann::json& SchemaRoot();

// {"$ref": "#/components/schemas/NAME"}; "Error" is the HTTP stack's.
nlohmann::json Ref(const std::string& name);

// The string formats the schemas use, as the handlers read them.
const http::Formats& SchemaFormats();

}  // namespace fuel::server
