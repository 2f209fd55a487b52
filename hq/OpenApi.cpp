#include "hq/OpenApi.h"

#include "hq/Options.h"
#include "hq/Roles.h"
#include "hq/Routes.h"
#include "hq/Schemas.h"
#include "http/OpenApi.h"

#ifndef FUEL_VERSION
#error "FUEL_VERSION must be defined by the build"
#endif

namespace fuel::hq {
namespace {

http::DocumentInfo Info() {
    http::DocumentInfo info;
    info.title = "fuel-hq";
    info.version = FUEL_VERSION;
    info.description =
        "The chain's head office: every station's health, sales, reports and alarms, from the "
        "stations' journals, and the chain's changes live. Errors are an HTTP status and "
        "{\"error\": {\"code\", \"message\"}}.";
    info.tokenHelp =
        "a token made with `fuel-hq token add NAME --role ROLE`; the change stream also takes "
        "it as the query parameter access_token, for browsers";
    info.changingNote =
        "Changes the head office's records: send an Idempotency-Key. Acknowledging is the same "
        "whoever repeats it: the alarm stays acknowledged by the first.";
    info.keyExample = "console-7-000042";
    info.errorCodeExample = "no-alarm";
    info.errorDataExample = "none of this API's errors carry data yet";
    info.bodyLimit = HqSettings().bodyLimit;
    info.changingResponses = {
        {503, "the database cannot be reached", "application/json", Ref("Error")}};
    return info;
}

}  // namespace

const nlohmann::json& OpenApiDocument() {
    static const nlohmann::json document =
        http::OpenApiDocument(Routes(), Components(), HqAccess(), Info());
    return document;
}

const std::string& OpenApiText() {
    static const std::string text = OpenApiDocument().dump();
    return text;
}

}  // namespace fuel::hq
