// The OpenAPI 3.1 document of a daemon's API, made from its route table (Routes.h), its
// schemas (the document's components) and its table of roles (Access.h): what each route
// needs and answers, with the answers the pipeline gives every route added, so that the
// document says what the pipeline does.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/Access.h"
#include "http/Routes.h"

namespace fuel::http {

// What the document says of the daemon, beside its routes.
struct DocumentInfo {
    std::string title;  // the daemon's name
    std::string version;
    std::string description;
    std::string tokenHelp;  // the bearer scheme's description: how a client comes by a token
    // Added to a changing route's description: what it changes and what the same
    // Idempotency-Key again does.
    std::string changingNote;
    std::string keyExample;  // an Idempotency-Key, as a client would make it
    // For the Error schema's descriptions: an error code a program acts on, and what an
    // error's data may be.
    std::string errorCodeExample;
    std::string errorDataExample;
    std::size_t bodyLimit = 0;  // what a body may hold (the 413), in bytes
    // What every changing route may answer beyond the pipeline's own refusals (the 409 of a
    // key used for another request, the 503 of a store that cannot record ...).
    std::vector<DocumentedResponse> changingResponses;
};

// {"$ref": "#/components/schemas/NAME"}
nlohmann::json SchemaRef(const std::string& name);

// `components` as the document's: {"schemas": {...}}; the library adds the Error schema
// (ErrorResponse's form, which the pipeline's refusals answer with) and the bearer scheme.
nlohmann::json OpenApiDocument(const std::vector<Route>& routes, const nlohmann::json& components,
                               const AccessTable& access, const DocumentInfo& info);

}  // namespace fuel::http
