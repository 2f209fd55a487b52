#include "hq/Routes.h"

#include "hq/Handlers.h"
#include "hq/Roles.h"
#include "hq/Schemas.h"
#include "http/StaticFiles.h"

namespace fuel::hq {
namespace {

using http::DocumentedResponse;
using http::HandlerOf;
using http::Parameter;
using http::Route;
using nlohmann::json;

std::string Needs(std::string_view permission) {
    return std::string(permission);
}

Parameter StationParameter(Parameter::In in = Parameter::In::Path) {
    return {.name = "station",
            .in = in,
            .required = in == Parameter::In::Path,
            .schema = {{"type", "string"}, {"minLength", 1}, {"maxLength", 128}},
            .description = "the station's id (its [mqtt] station)",
            .example = "north-17"};
}

Parameter Query(std::string name, json schema, std::string description, json example = nullptr,
                bool required = false) {
    return {.name = std::move(name),
            .in = Parameter::In::Query,
            .required = required,
            .schema = std::move(schema),
            .description = std::move(description),
            .example = std::move(example)};
}

json TimeSchema() {
    return {{"type", "string"}, {"format", "date-time"}};
}

Parameter LimitParameter() {
    return Query("limit", {{"type", "integer"}, {"minimum", 1}, {"maximum", 1000}},
                 "at most this many (default 100)", 50);
}

Parameter CursorParameter() {
    return Query("cursor", {{"type", "string"}, {"minLength", 1}, {"maxLength", 256}},
                 "read on after the page that gave it: its next link carries it");
}

Parameter IdParameter(std::string description) {
    return {.name = "id",
            .in = Parameter::In::Path,
            .schema = {{"type", "integer"}, {"minimum", 1}},
            .description = std::move(description),
            .example = 1};
}

Parameter GradeParameter() {
    return {.name = "grade",
            .in = Parameter::In::Path,
            .required = true,
            .schema = {{"type", "string"}, {"minLength", 1}, {"maxLength", 32}},
            .description = "the grade's code",
            .example = "95"};
}

json CampaignExample() {
    return {{"grade", "95"},
            {"price", 1.52},
            {"stations", {"north-17"}},
            {"groups", {"north"}},
            {"at", "2026-12-10T18:00:00Z"},
            {"note", "winter prices"}};
}

DocumentedResponse Ok(const std::string& description, json schema) {
    return {200, description, "application/json", std::move(schema)};
}

DocumentedResponse Error(int status, const std::string& description) {
    return {status, description, "application/json", Ref("Error")};
}

std::vector<Route> MakeRoutes() {
    return {
        {.method = "GET",
         .path = "/api/v1/client",
         .operationId = "getClient",
         .summary = "read who the token belongs to and what it may do",
         .permission = Needs(kRead),
         .responses = {Ok("the client, its role and its permissions", Ref("Client"))},
         .handler = HandlerOf(handlers::GetClient)},
        {.method = "GET",
         .path = "/api/v1/stations",
         .operationId = "getStations",
         .summary = "read every station with its health: status, last event, watermark, lag",
         .permission = Needs(kRead),
         .parameters = {Query("group", {{"type", "string"}, {"minLength", 1}},
                              "only the stations of this group", "north")},
         .responses = {Ok("the stations, by id", Ref("Stations"))},
         .handler = HandlerOf(handlers::GetStations)},
        {.method = "GET",
         .path = "/api/v1/stations/{station}",
         .operationId = "getStation",
         .summary = "read a station: its health, fuel points, prices and waiting sales, as last "
                    "known",
         .permission = Needs(kRead),
         .parameters = {StationParameter()},
         .responses = {Ok("the station", Ref("StationDetail")), Error(404, "no such station")},
         .handler = HandlerOf(handlers::GetStation)},
        {.method = "GET",
         .path = "/api/v1/sales",
         .operationId = "getSales",
         .summary = "list sales by station, time of their end, grade and state, newest first",
         .permission = Needs(kRead),
         .parameters =
             {StationParameter(Parameter::In::Query),
              Query("from", TimeSchema(), "ended at or after this time", "2024-01-01T00:00:00Z"),
              Query("to", TimeSchema(), "ended before this time"),
              Query("grade", {{"type", "string"}, {"minLength", 1}}, "the grade's code", "95"),
              Query("state", {{"enum", {"PAYABLE", "LOCKED", "CLEARED"}}}, "the state", "CLEARED"),
              LimitParameter(), CursorParameter()},
         .responses = {Ok("a page of sales, and the link to the next", Ref("SalesPage")),
                       Error(400, "a cursor that is not one of ours")},
         .handler = HandlerOf(handlers::GetSales)},
        {.method = "GET",
         .path = "/api/v1/reports/sales",
         .operationId = "getSalesReport",
         .summary = "sum the sales' volume, amount and count over a period, grouped by any of "
                    "day (UTC), station and grade",
         .permission = Needs(kRead),
         .parameters =
             {Query("from", TimeSchema(), "sales that ended at or after this time",
                    "2024-01-01T00:00:00Z", true),
              Query("to", TimeSchema(), "and before this time (default: now)"),
              Query("by",
                    {{"type", "string"}, {"maxLength", 64}, {"description", "comma-separated"}},
                    "what to group by: day, station, grade, comma-separated, in any "
                    "order and number (none: one row of totals)",
                    "day,station,grade"),
              StationParameter(Parameter::In::Query),
              Query("group", {{"type", "string"}, {"minLength", 1}},
                    "only the stations of this group"),
              Query("grade", {{"type", "string"}, {"minLength", 1}}, "only the sales of this grade",
                    "95")},
         .responses = {Ok("one row per group, ordered by the groups", Ref("Report")),
                       Error(400, "an unknown grouping, or to before from")},
         .handler = HandlerOf(handlers::GetSalesReport)},
        {.method = "GET",
         .path = "/api/v1/alarms",
         .operationId = "getAlarms",
         .summary = "list alarms, newest first",
         .permission = Needs(kRead),
         .parameters = {StationParameter(Parameter::In::Query),
                        Query("state", {{"enum", {"unacknowledged", "open", "all"}}},
                              "unacknowledged (the default), open (not cleared) or all",
                              "unacknowledged"),
                        LimitParameter(), CursorParameter()},
         .responses = {Ok("a page of alarms, and the link to the next", Ref("AlarmsPage")),
                       Error(400, "a cursor that is not one of ours")},
         .handler = HandlerOf(handlers::GetAlarms)},
        {.method = "POST",
         .path = "/api/v1/alarms/{id}/acknowledge",
         .operationId = "acknowledgeAlarm",
         .summary = "acknowledge an alarm: a person has looked at it",
         .permission = Needs(kAcknowledge),
         .changes = true,
         .parameters = {{.name = "id",
                         .in = Parameter::In::Path,
                         .schema = {{"type", "integer"}, {"minimum", 1}},
                         .description = "the alarm's id",
                         .example = 1}},
         .requestSchema = Ref("EmptyRequest"),
         .responses = {Ok("the alarm, acknowledged (by whoever did it first)", Ref("Alarm")),
                       Error(404, "no such alarm")},
         .handler = HandlerOf(handlers::AcknowledgeAlarm)},
        {.method = "GET",
         .path = "/api/v1/price-bounds",
         .operationId = "getPriceBounds",
         .summary = "read each grade's price bounds (lowest, highest, largest change) and where "
                    "they come from: the configuration, or an administrator",
         .permission = Needs(kRead),
         .responses = {Ok("every grade with bounds or sold by a station", Ref("PriceBoundsList"))},
         .handler = HandlerOf(handlers::GetPriceBounds)},
        {.method = "PUT",
         .path = "/api/v1/price-bounds/{grade}",
         .operationId = "setPriceBounds",
         .summary = "set a grade's price bounds; they replace the configuration's for that grade",
         .permission = Needs(kSetBounds),
         .changes = true,
         .parameters = {GradeParameter()},
         .requestSchema = Ref("PriceBoundsRequest"),
         .requestExample = {{"lowest", 1.2}, {"highest", 2.2}, {"largestChange", 0.15}},
         .responses = {Ok("the grade's bounds", Ref("PriceBounds")),
                       Error(400, "a bound not above 0, the lowest above the highest, or *")},
         .handler = HandlerOf(handlers::SetPriceBounds)},
        {.method = "POST",
         .path = "/api/v1/price-campaigns/check",
         .operationId = "checkPriceCampaign",
         .summary = "check a campaign without making it: its targets, their current prices, the "
                    "grade's bounds and what it would be held for",
         .permission = Needs(kPrice),
         .requestSchema = Ref("CampaignRequest"),
         .requestExample = CampaignExample(),
         .responses = {Ok("what the campaign would be", Ref("CampaignCheck")),
                       Error(400,
                             "refused: price-step, no-targets, unknown-station, "
                             "unknown-grade or bad-request")},
         .handler = HandlerOf(handlers::CheckCampaign)},
        {.method = "POST",
         .path = "/api/v1/price-campaigns",
         .operationId = "createPriceCampaign",
         .summary = "send a grade's price to stations and groups, at once or at a set time; held "
                    "for a second administrator's approval when it breaks a bound",
         .permission = Needs(kPrice),
         .changes = true,
         .requestSchema = Ref("CampaignRequest"),
         .requestExample = CampaignExample(),
         .responses = {{201, "the campaign (the same one again for a repeated Idempotency-Key)",
                        "application/json", Ref("Campaign")},
                       Error(400,
                             "refused: price-step, no-targets, unknown-station, "
                             "unknown-grade or bad-request")},
         .handler = HandlerOf(handlers::CreateCampaign)},
        {.method = "GET",
         .path = "/api/v1/price-campaigns",
         .operationId = "getPriceCampaigns",
         .summary = "list campaigns with their counts, newest first",
         .permission = Needs(kRead),
         .parameters = {LimitParameter(), CursorParameter()},
         .responses = {Ok("a page of campaigns, and the link to the next", Ref("CampaignsPage")),
                       Error(400, "a cursor that is not one of ours")},
         .handler = HandlerOf(handlers::GetCampaigns)},
        {.method = "GET",
         .path = "/api/v1/price-campaigns/{id}",
         .operationId = "getPriceCampaign",
         .summary = "read a campaign with each station's outcome",
         .permission = Needs(kRead),
         .parameters = {IdParameter("the campaign's id")},
         .responses = {Ok("the campaign", Ref("Campaign")), Error(404, "no such campaign")},
         .handler = HandlerOf(handlers::GetCampaign)},
        {.method = "POST",
         .path = "/api/v1/price-campaigns/{id}/approve",
         .operationId = "approvePriceCampaign",
         .summary = "approve a campaign held by its bounds: it is sent when due; never by its "
                    "author",
         .permission = Needs(kApprove),
         .changes = true,
         .parameters = {IdParameter("the campaign's id")},
         .requestSchema = Ref("EmptyRequest"),
         .responses = {Ok("the campaign, approved", Ref("Campaign")),
                       Error(403,
                             "own-campaign: its author may not approve it (or the role "
                             "may not approve)"),
                       Error(404, "no such campaign"),
                       Error(409, "not-held: it is not waiting for approval")},
         .handler = HandlerOf(handlers::ApproveCampaign)},
        {.method = "POST",
         .path = "/api/v1/price-campaigns/{id}/cancel",
         .operationId = "cancelPriceCampaign",
         .summary = "cancel what a campaign has not yet sent or had answered: those stations' "
                    "outcomes become cancelled",
         .permission = Needs(kPrice),
         .changes = true,
         .parameters = {IdParameter("the campaign's id")},
         .requestSchema = Ref("EmptyRequest"),
         .responses = {Ok("the campaign, cancelled", Ref("Campaign")),
                       Error(404, "no such campaign"),
                       Error(409, "finished: every station has answered")},
         .handler = HandlerOf(handlers::CancelCampaign)},
        {.method = "GET",
         .path = "/api/v1/changes",
         .operationId = "changes",
         .summary = "the chain's changes (a station's status, an alarm raised, cleared or "
                    "acknowledged, a price campaign's progress) as Server-Sent Events: id, event "
                    "(the kind), data",
         .permission = Needs(kRead),
         .transport = http::Transport::ServerSentEvents,
         .parameters = {Query("since", {{"type", "integer"}, {"minimum", 0}},
                              "resume after this change (its id); without it (and without "
                              "Last-Event-ID) only new changes are sent",
                              0),
                        {.name = "Last-Event-ID",
                         .in = Parameter::In::Header,
                         .required = false,
                         .schema = {{"type", "integer"}, {"minimum", 0}},
                         .description =
                             "what a reconnecting browser sends: resume after this change; "
                             "wins over since"},
                        Query("access_token", {{"type", "string"}},
                              "the bearer token, for clients that cannot set headers (browsers)")},
         .responses = {{200,
                        "the stream, until the client leaves or falls too far behind (then an "
                        "error event says why)",
                        "text/event-stream", json{{"type", "object"}}}},
         .handler = HandlerOf(handlers::Changes)},
        {.method = "GET",
         .path = "/api/v1/openapi.json",
         .operationId = "getOpenApi",
         .summary = "read this document",
         .permission = std::string(http::kPublic),
         .responses = {Ok("this document", json{{"type", "object"}})},
         .handler = HandlerOf(handlers::OpenApi)},
        {.method = "GET",
         .path = "/healthz",
         .operationId = "getHealth",
         .summary = "read whether this worker reaches its database",
         .permission = std::string(http::kPublic),
         .responses = {Ok("the database answers", Ref("Health")),
                       {503, "the database does not answer", "application/json", Ref("Health")}},
         .handler = HandlerOf(handlers::Health)},
    };
}

}  // namespace

const std::vector<Route>& Routes() {
    // The console's page and files (hq/Console.h) after the API's own routes.
    static const std::vector<Route> routes = [] {
        std::vector<Route> all = MakeRoutes();
        for (Route& route : http::ConsoleRoutes(HandlerOf(handlers::ConsoleFile)))
            all.push_back(std::move(route));
        return all;
    }();
    return routes;
}

}  // namespace fuel::hq
