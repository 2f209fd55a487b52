// The part of JSON Schema (2020-12, as OpenAPI 3.1 uses it) that the APIs' own schemas use:
// enough to check a request's parameters and body before anything acts on them, and to hold
// every answer of a server to its OpenAPI document. One checker for both, so that what the
// document says and what the server accepts cannot drift apart.
//
// Understood: type (a name or a list of names), properties, required, additionalProperties
// (false or a schema), items, enum, const, minimum, maximum, exclusiveMinimum,
// exclusiveMaximum, minLength, maxLength, minItems, maxItems, anyOf, the formats the caller
// names, and $ref to "#/..." inside the root document. Other keywords (description, example
// ...) and other formats are ignored, as the standard says unknown keywords are.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace fuel::http {

// A string "format" as the daemon reads it: a value its schemas call a "date-time" must be
// one its handlers can parse, so the daemon's own parser is the check.
struct Format {
    std::function<bool(std::string_view)> accepts;
    std::string expected;  // what a value must be, in words: "a time as RFC 3339 writes it"
};
using Formats = std::map<std::string, Format, std::less<>>;

// The first problem found, as "where: what" with `where` the path to the value inside the
// instance ("preset.value", "nozzles[1].grade"), or `name` for the whole value; nullopt when
// the value conforms. `root` is the document that "$ref"s are resolved in; `formats` the
// formats checked. A schema that is itself wrong (an unknown type name, a $ref that leads
// nowhere) is reported as a problem, never thrown.
std::optional<std::string> Validate(const nlohmann::json& value, const nlohmann::json& schema,
                                    const nlohmann::json& root, const Formats& formats,
                                    const std::string& name = "value");
inline std::optional<std::string> Validate(const nlohmann::json& value,
                                           const nlohmann::json& schema) {
    return Validate(value, schema, schema, Formats{});
}

}  // namespace fuel::http
