#include "server/OpenApi.h"

#include "http/OpenApi.h"
#include "server/Options.h"
#include "server/Roles.h"
#include "server/Routes.h"
#include "server/Schemas.h"

#ifndef FUEL_VERSION
#error "FUEL_VERSION must be defined by the build"
#endif

namespace fuel::server {
namespace {

http::DocumentInfo Info() {
    http::DocumentInfo info;
    info.title = "fuel-forecourtd";
    info.version = FUEL_VERSION;
    info.description =
        "The forecourt of a station: its fuel points, fills, sales and prices, and its events "
        "live. Errors are an HTTP status and {\"error\": {\"code\", \"message\"}}.";
    info.tokenHelp =
        "a token made with `fuel-forecourtd token add NAME --role ROLE`; the event streams also "
        "take it as the query parameter access_token, for browsers";
    info.changingNote =
        "Changes the forecourt: send an Idempotency-Key; the same key again (from the same "
        "client) answers what the first request was answered, without doing it twice.";
    info.keyExample = "till-1-000042";
    info.errorCodeExample = "locked-by-other";
    info.errorDataExample = "the sale another client locked";
    info.bodyLimit = ServerSettings().bodyLimit;
    info.changingResponses = {
        {409,
         "the Idempotency-Key was used for another request, or its first request is still "
         "running",
         "application/json", Ref("Error")},
        {503, "the forecourt is stopping, or the journal cannot record", "application/json",
         Ref("Error")}};
    return info;
}

}  // namespace

const nlohmann::json& OpenApiDocument() {
    static const nlohmann::json document =
        http::OpenApiDocument(Routes(), Components(), ForecourtAccess(), Info());
    return document;
}

const std::string& OpenApiText() {
    static const std::string text = OpenApiDocument().dump();
    return text;
}

}  // namespace fuel::server
