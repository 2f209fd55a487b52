// The part of JSON Schema (2020-12, as OpenAPI 3.1 uses it) that the API's own schemas use:
// enough to check a request body before anything acts on it, and to hold every answer of
// the server to its OpenAPI document. One checker for both, so that what the document says
// and what the server accepts cannot drift apart.
//
// Understood: type (a name or a list of names), properties, required, additionalProperties
// (false or a schema), items, enum, const, minimum, maximum, exclusiveMinimum,
// exclusiveMaximum, minLength, maxLength, minItems, maxItems, anyOf, format "date-time", and
// $ref to "#/..." inside the root document. Other keywords (description, example ...) are
// ignored, as the standard says unknown keywords are.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace fuel::server {

// The first problem found, as "where: what" with `where` the path to the value inside the
// instance ("preset.value", "nozzles[1].grade"), or `name` for the whole value; nullopt when
// the value conforms. `root` is the document that "$ref"s are resolved in. A schema that is
// itself wrong (an unknown type name, a $ref that leads nowhere) is reported as a problem,
// never thrown.
std::optional<std::string> Validate(const nlohmann::json& value, const nlohmann::json& schema,
                                    const nlohmann::json& root, const std::string& name = "value");
inline std::optional<std::string> Validate(const nlohmann::json& value,
                                           const nlohmann::json& schema) {
    return Validate(value, schema, schema);
}

}  // namespace fuel::server
