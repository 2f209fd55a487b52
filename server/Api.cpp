#include "server/Api.h"

#include "forecourt/Database.h"
#include "forecourt/Outcome.h"
#include "server/Log.h"
#include "server/Roles.h"
#include "server/Schemas.h"
#include "server/Tokens.h"

namespace fuel::server {
namespace {

// The pipeline's refusals and the forecourt's share their codes: a client acts on one code.
static_assert(http::kBadRequestCode == forecourt::reason::kBadRequest);
static_assert(http::kNoIdempotencyKeyCode == forecourt::reason::kNoKey);

std::optional<http::Response> JournalFailure(const std::exception& error) {
    if (dynamic_cast<const forecourt::DatabaseError*>(&error) == nullptr)
        return std::nullopt;
    Log(Priority::Error, "journal: " + std::string(error.what()));
    return http::ErrorResponse(503, forecourt::reason::kJournalFailed,
                               "the journal cannot be read: " + std::string(error.what()));
}

}  // namespace

Api::Api(Context context)
    : context_(context),
      pipeline_({.routes = Routes(),
                 .access = ForecourtAccess(),
                 .tokens = context_.tokens,
                 .schemaRoot = SchemaRoot(),
                 .formats = SchemaFormats(),
                 .realm = "fuel-forecourtd",
                 .mapError = JournalFailure},
                context_) {}

void Api::Handle(const http::Request& request, http::Respond respond) const {
    pipeline_.Handle(request, std::move(respond));
}

}  // namespace fuel::server
