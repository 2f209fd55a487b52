#include "hq/Api.h"

#include "hq/Database.h"
#include "hq/Roles.h"
#include "hq/Schemas.h"
#include "hq/Tokens.h"
#include "http/Log.h"

namespace fuel::hq {
namespace {

std::optional<http::Response> DatabaseFailure(const std::exception& error) {
    if (dynamic_cast<const DatabaseError*>(&error) == nullptr)
        return std::nullopt;
    http::Log(http::Priority::Error, "database: " + std::string(error.what()));
    return http::ErrorResponse(503, "database-failing",
                               "the database cannot be reached: " + std::string(error.what()));
}

}  // namespace

Api::Api(Context context)
    : context_(context),
      pipeline_({.routes = Routes(),
                 .access = HqAccess(),
                 .tokens = context_.tokens,
                 .schemaRoot = SchemaRoot(),
                 .formats = SchemaFormats(),
                 .realm = "fuel-hq",
                 .mapError = DatabaseFailure},
                context_) {}

void Api::Handle(const http::Request& request, http::Respond respond) const {
    pipeline_.Handle(request, std::move(respond));
}

}  // namespace fuel::hq
