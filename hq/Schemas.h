// The JSON shapes the head office's API speaks, as JSON Schema: the OpenAPI document's
// components, the checks on request bodies and, in the tests, the checks on every answer.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "http/JsonSchema.h"

namespace fuel::hq {

// {"schemas": {...}}: the document's components.
const nlohmann::json& Components();
// {"components": Components()}: where the schemas' "$ref"s resolve outside the document.
const nlohmann::json& SchemaRoot();
// {"$ref": "#/components/schemas/NAME"}; "Error" is the HTTP stack's.
nlohmann::json Ref(const std::string& name);
// The string formats the schemas use, as the handlers read them.
const http::Formats& SchemaFormats();

}  // namespace fuel::hq
