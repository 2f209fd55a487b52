#include "server/Routes.h"

#include "http/StaticFiles.h"
#include "server/Handlers.h"
#include "server/Roles.h"
#include "server/Schemas.h"

namespace fuel::server {
namespace {

using http::DocumentedResponse;
using http::HandlerOf;
using http::Parameter;
using http::Route;
using nlohmann::json;

std::string Needs(Permission permission) {
    return std::string(Name(permission));
}

Parameter FuelPointParameter() {
    return {.name = "fp",
            .in = Parameter::In::Path,
            .schema = {{"type", "integer"}, {"minimum", 1}, {"maximum", 2147483647}},
            .description = "the fuel point's id",
            .example = 1};
}

Parameter SaleParameter() {
    return {.name = "id",
            .in = Parameter::In::Path,
            .schema = {{"type", "integer"}, {"minimum", 1}, {"maximum", 9007199254740991}},
            .description = "the sale's id",
            .example = 1};
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

// Every list is a page of at most 1000 and a next link that reads on from where it ended.
Parameter LimitParameter() {
    return Query("limit", {{"type", "integer"}, {"minimum", 1}, {"maximum", 1000}},
                 "at most this many (default 100)", 50);
}

Parameter CursorParameter() {
    return Query("cursor", {{"type", "string"}, {"minLength", 1}, {"maxLength", 64}},
                 "read on after the page that gave it: its next link carries it");
}

// The parameters of both event streams.
std::vector<Parameter> StreamParameters() {
    return {
        Query("since", {{"type", "integer"}, {"minimum", 0}},
              "resume after this event (its id); without it (and without Last-Event-ID) only "
              "new events are sent",
              0),
        {.name = "Last-Event-ID",
         .in = Parameter::In::Header,
         .required = false,
         .schema = {{"type", "integer"}, {"minimum", 0}},
         .description =
             "what a reconnecting browser sends: resume after this event; wins over since"},
        Query("progress", {{"type", "boolean"}},
              "false: leave out the live fill progress (fill-progress events); default true"),
        Query("access_token", {{"type", "string"}},
              "the bearer token, for clients that cannot set headers (browsers)"),
    };
}

DocumentedResponse Ok(const std::string& description, json schema) {
    return {200, description, "application/json", std::move(schema)};
}

DocumentedResponse Error(int status, const std::string& description) {
    return {status, description, "application/json", Ref("Error")};
}

// What a command on a fuel point may answer besides success.
std::vector<DocumentedResponse> CommandResponses(const std::string& description, json schema) {
    return {Ok(description, std::move(schema)), Error(404, "no such fuel point"),
            Error(409,
                  "the fuel point cannot do it now (closed, offline, busy, sale buffer full, "
                  "nothing to stop), or the Idempotency-Key says otherwise"),
            Error(502, "the controller did not carry it out")};
}

std::vector<DocumentedResponse> SaleResponses() {
    return {Ok("the sale as it is now", Ref("Sale")), Error(404, "no such sale"),
            Error(409,
                  "locked or cleared by another client (error.data: the sale), not locked, "
                  "already cleared, or the Idempotency-Key says otherwise")};
}

std::vector<Route> MakeRoutes() {
    const json empty = Ref("EmptyRequest");
    return {
        {.method = "GET",
         .path = "/api/v1/client",
         .operationId = "getClient",
         .summary = "read who the token belongs to and what it may do (a console offers only that)",
         .permission = Needs(Permission::Read),
         .responses = {Ok("the client, its role and its permissions", Ref("Client"))},
         .handler = HandlerOf(handlers::GetClient)},
        {.method = "GET",
         .path = "/api/v1/forecourt",
         .operationId = "getForecourt",
         .summary =
             "read the forecourt: fuel points, nozzles, grades, prices, states, running fills",
         .permission = Needs(Permission::Read),
         .responses = {Ok("every fuel point and grade, and the last event included",
                          Ref("Forecourt"))},
         .handler = HandlerOf(handlers::GetForecourt)},
        {.method = "GET",
         .path = "/api/v1/fuel-points/{fp}",
         .operationId = "getFuelPoint",
         .summary = "read a fuel point",
         .permission = Needs(Permission::Read),
         .parameters = {FuelPointParameter()},
         .responses = {Ok("the fuel point", Ref("FuelPoint")), Error(404, "no such fuel point")},
         .handler = HandlerOf(handlers::GetFuelPoint)},
        {.method = "POST",
         .path = "/api/v1/fuel-points/{fp}/authorise",
         .operationId = "authorise",
         .summary = "authorise a fuel point for one fill",
         .permission = Needs(Permission::Sell),
         .changes = true,
         .parameters = {FuelPointParameter()},
         .requestSchema = Ref("AuthoriseRequest"),
         .requestExample = {{"preset", {{"kind", "money"}, {"value", 20}}}},
         .responses =
             [] {
                 auto responses = CommandResponses("the fuel point, authorised", Ref("FuelPoint"));
                 responses.push_back(Error(503,
                                           "journal-failing: the journal cannot write now (a "
                                           "full disk); no fill is authorised until it can"));
                 return responses;
             }(),
         .handler = HandlerOf(handlers::Authorise)},
        {.method = "POST",
         .path = "/api/v1/fuel-points/{fp}/stop",
         .operationId = "stop",
         .summary = "stop a fuel point's fill, or withdraw its authorisation",
         .permission = Needs(Permission::Sell),
         .changes = true,
         .parameters = {FuelPointParameter()},
         .requestSchema = empty,
         .responses = CommandResponses("the fuel point, stopped", Ref("FuelPoint")),
         .handler = HandlerOf(handlers::StopFill)},
        {.method = "POST",
         .path = "/api/v1/fuel-points/{fp}/close",
         .operationId = "close",
         .summary = "close a fuel point (a running fill finishes; an authorisation is withdrawn)",
         .permission = Needs(Permission::Close),
         .changes = true,
         .parameters = {FuelPointParameter()},
         .requestSchema = empty,
         .responses = CommandResponses("the fuel point, closed", Ref("FuelPoint")),
         .handler = HandlerOf(handlers::Close)},
        {.method = "POST",
         .path = "/api/v1/fuel-points/{fp}/open",
         .operationId = "open",
         .summary = "open a closed fuel point",
         .permission = Needs(Permission::Close),
         .changes = true,
         .parameters = {FuelPointParameter()},
         .requestSchema = empty,
         .responses = CommandResponses("the fuel point, open", Ref("FuelPoint")),
         .handler = HandlerOf(handlers::Open)},
        {.method = "GET",
         .path = "/api/v1/fuel-points/{fp}/totals",
         .operationId = "getTotals",
         .summary = "read every nozzle's totaliser now",
         .permission = Needs(Permission::Read),
         .parameters = {FuelPointParameter()},
         .responses = {Ok("the totalisers, as the controller gave them", Ref("Totals")),
                       Error(404, "no such fuel point"), Error(409, "the fuel point is offline"),
                       Error(502, "the controller did not answer")},
         .handler = HandlerOf(handlers::Totals)},
        {.method = "POST",
         .path = "/api/v1/forecourt/emergency-stop",
         .operationId = "emergencyStop",
         .summary = "stop every fill and withdraw every authorisation, on every line at once",
         .permission = Needs(Permission::EmergencyStop),
         .changes = true,
         .requestSchema = empty,
         .responses = {Ok("the fuel points stopped", Ref("EmergencyStopResult")),
                       Error(502, "a controller did not carry it out")},
         .handler = HandlerOf(handlers::EmergencyStop)},
        {.method = "GET",
         .path = "/api/v1/sales",
         .operationId = "listSales",
         .summary = "list sales, newest first (by their end), a page at a time",
         .permission = Needs(Permission::Read),
         .parameters = {Query("state", {{"enum", {"PAYABLE", "LOCKED", "CLEARED"}}},
                              "only sales in this state", "PAYABLE"),
                        Query("fuelPoint",
                              {{"type", "integer"}, {"minimum", 1}, {"maximum", 2147483647}},
                              "only this fuel point's", 1),
                        Query("from", TimeSchema(), "ended at or after", "2024-01-01T00:00:00Z"),
                        Query("to", TimeSchema(), "ended before"), LimitParameter(),
                        CursorParameter()},
         .responses = {Ok("a page of the sales, and the link to the next", Ref("SaleList"))},
         .handler = HandlerOf(handlers::ListSales)},
        {.method = "GET",
         .path = "/api/v1/sales/{id}",
         .operationId = "getSale",
         .summary = "read a sale",
         .permission = Needs(Permission::Read),
         .parameters = {SaleParameter()},
         .responses = {Ok("the sale", Ref("Sale")), Error(404, "no such sale")},
         .handler = HandlerOf(handlers::GetSale)},
        {.method = "POST",
         .path = "/api/v1/sales/{id}/lock",
         .operationId = "lockSale",
         .summary = "lock a sale to this client, so that no other may lock or clear it",
         .permission = Needs(Permission::Sell),
         .changes = true,
         .parameters = {SaleParameter()},
         .requestSchema = empty,
         .responses = SaleResponses(),
         .handler = HandlerOf(handlers::LockSale)},
        {.method = "POST",
         .path = "/api/v1/sales/{id}/unlock",
         .operationId = "unlockSale",
         .summary = "unlock a sale this client locked",
         .permission = Needs(Permission::Sell),
         .changes = true,
         .parameters = {SaleParameter()},
         .requestSchema = empty,
         .responses = SaleResponses(),
         .handler = HandlerOf(handlers::UnlockSale)},
        {.method = "POST",
         .path = "/api/v1/sales/{id}/clear",
         .operationId = "clearSale",
         .summary = "clear (settle) a sale; again by the same client, the sale as it was cleared",
         .permission = Needs(Permission::Sell),
         .changes = true,
         .parameters = {SaleParameter()},
         .requestSchema = empty,
         .responses = SaleResponses(),
         .handler = HandlerOf(handlers::ClearSale)},
        {.method = "PUT",
         .path = "/api/v1/grades/{grade}/price",
         .operationId = "setPrice",
         .summary =
             "change a grade's price on every nozzle of it, each read back from its controller",
         .permission = Needs(Permission::Price),
         .changes = true,
         .parameters = {{.name = "grade",
                         .in = Parameter::In::Path,
                         .schema = {{"type", "string"}, {"minLength", 1}, {"maxLength", 64}},
                         .description = "the grade's code",
                         .example = "95"}},
         .requestSchema = Ref("PriceRequest"),
         .requestExample = {{"price", 45.99}},
         .responses = {Ok("every controller confirmed (or takes it after its running fill)",
                          Ref("PriceReport")),
                       Error(404, "no such grade"),
                       Error(502,
                             "a controller did not confirm the price (error.data: the report)")},
         .handler = HandlerOf(handlers::SetPrice)},
        {.method = "GET",
         .path = "/api/v1/reconciliation",
         .operationId = "getReconciliation",
         .summary = "each nozzle's totaliser growth over a period against the fills recorded",
         .permission = Needs(Permission::Read),
         .parameters =
             {Query("from", TimeSchema(), "the period's start", "2024-01-01T00:00:00Z", true),
              Query("to", TimeSchema(), "the period's end (default: now, with a fresh reading)"),
              Query("fuelPoint", {{"type", "integer"}, {"minimum", 1}, {"maximum", 2147483647}},
                    "only this fuel point"),
              Query("tolerance", {{"type", "number"}, {"minimum", 0}},
                    "litres a nozzle may differ by (default: the configuration's)")},
         .responses = {Ok("the reconciliation", Ref("Reconciliation")),
                       Error(404, "no such fuel point"), Error(502, "a controller did not answer")},
         .handler = HandlerOf(handlers::Reconciliation)},
        {.method = "GET",
         .path = "/api/v1/reconciliation/discrepancies",
         .operationId = "getDiscrepancies",
         .summary = "list a nozzle's stretches between two totaliser figures that differ from "
                    "the fills recorded, with the fills around each, a page at a time",
         .permission = Needs(Permission::Read),
         .parameters = {Query("fuelPoint",
                              {{"type", "integer"}, {"minimum", 1}, {"maximum", 2147483647}},
                              "the fuel point", 1, true),
                        Query("nozzle", {{"type", "integer"}, {"minimum", 1}, {"maximum", 6}},
                              "its nozzle", 1, true),
                        Query("from", TimeSchema(), "the period's start", "2024-01-01T00:00:00Z",
                              true),
                        Query("to", TimeSchema(), "the period's end (default: now)"),
                        Query("tolerance", {{"type", "number"}, {"minimum", 0}},
                              "litres a stretch may differ by (default: the configuration's)"),
                        LimitParameter(), CursorParameter()},
         .responses = {Ok("a page of the stretches, and the link to the next; a page may hold "
                          "fewer than the limit (it looks at a bounded part of the journal), "
                          "the last has no next",
                          Ref("DiscrepancyPage")),
                       Error(404, "no such fuel point or nozzle")},
         .handler = HandlerOf(handlers::Discrepancies)},
        {.method = "GET",
         .path = "/api/v1/events",
         .operationId = "events",
         .summary =
             "the events as Server-Sent Events: id (the journal's sequence number, none for fill "
             "progress), event (the type), data (the event as JSON); a heartbeat comment at least "
             "every 15 s",
         .permission = Needs(Permission::Read),
         .transport = http::Transport::ServerSentEvents,
         .parameters = StreamParameters(),
         .responses = {{200,
                        "the stream, until the client leaves or falls too far behind (then an "
                        "error event says why)",
                        "text/event-stream", Ref("Event")}},
         .handler = HandlerOf(handlers::Events)},
        {.method = "GET",
         .path = "/api/v1/ws",
         .operationId = "webSocket",
         .summary = "the events as WebSocket text messages, one event (JSON) each",
         .permission = Needs(Permission::Read),
         .transport = http::Transport::WebSocket,
         .parameters = StreamParameters(),
         .responses = {{101, "the WebSocket; each message an Event", "application/json",
                        Ref("Event")},
                       Error(426, "not a WebSocket handshake")},
         .handler = HandlerOf(handlers::WebSocket)},
        {.method = "GET",
         .path = "/api/v1/openapi.json",
         .operationId = "getOpenApi",
         .summary = "read this document",
         .permission = Needs(Permission::Public),
         .responses = {Ok("this document", json{{"type", "object"}})},
         .handler = HandlerOf(handlers::OpenApi)},
        {.method = "GET",
         .path = "/healthz",
         .operationId = "getHealth",
         .summary = "read the health of the lines and the journal",
         .permission = Needs(Permission::Public),
         .responses = {Ok("every line answers and the journal reads and writes", Ref("Health")),
                       {503, "a line is down, or the journal cannot be read or cannot write",
                        "application/json", Ref("Health")}},
         .handler = HandlerOf(handlers::Health)},
        {.method = "GET",
         .path = "/metrics",
         .operationId = "getMetrics",
         .summary = "read the counters (Prometheus text format)",
         .permission = Needs(Permission::Read),
         .responses = {{200, "the counters", "text/plain; version=0.0.4; charset=utf-8", nullptr}},
         .handler = HandlerOf(handlers::Metrics)},
    };
}

}  // namespace

const std::vector<Route>& Routes() {
    static const std::vector<Route> routes = [] {
        std::vector<Route> all = MakeRoutes();
        for (Route& route : http::ConsoleRoutes(HandlerOf(handlers::ConsoleFile)))
            all.push_back(std::move(route));
        return all;
    }();
    return routes;
}

}  // namespace fuel::server
