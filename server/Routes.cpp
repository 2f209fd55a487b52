#include "server/Routes.h"

#include "server/Handlers.h"
#include "server/Schemas.h"

namespace fuel::server {
namespace {

using nlohmann::json;

Parameter FuelPointParameter() {
    return {"fp",
            Parameter::In::Path,
            true,
            json{{"type", "integer"}, {"minimum", 1}, {"maximum", 2147483647}},
            "the fuel point's id",
            1};
}

Parameter SaleParameter() {
    return {"id",
            Parameter::In::Path,
            true,
            json{{"type", "integer"}, {"minimum", 1}, {"maximum", 9007199254740991}},
            "the sale's id",
            1};
}

Parameter Query(std::string name, json schema, std::string description, json example = nullptr,
                bool required = false) {
    return {std::move(name),   Parameter::In::Query,   required,
            std::move(schema), std::move(description), std::move(example)};
}

json TimeSchema() {
    return {{"type", "string"}, {"format", "date-time"}};
}

// The parameters of both event streams.
std::vector<Parameter> StreamParameters() {
    return {
        Query("since", {{"type", "integer"}, {"minimum", 0}},
              "resume after this event (its id); without it (and without Last-Event-ID) only "
              "new events are sent",
              0),
        {"Last-Event-ID", Parameter::In::Header, false, json{{"type", "integer"}, {"minimum", 0}},
         "what a reconnecting browser sends: resume after this event; wins over since", nullptr},
        Query("progress", {{"type", "boolean"}},
              "false: leave out the live fill progress (fill-progress events); default true"),
        Query("access_token", {{"type", "string"}},
              "the bearer token, for clients that cannot set headers (browsers)"),
    };
}

Answer Ok(const std::string& description, json schema) {
    return {200, description, "application/json", std::move(schema)};
}

Answer Error(int status, const std::string& description) {
    return {status, description, "application/json", Ref("Error")};
}

// What a command on a fuel point may answer besides success.
std::vector<Answer> CommandAnswers(const std::string& description, json schema) {
    return {Ok(description, std::move(schema)), Error(404, "no such fuel point"),
            Error(409,
                  "the fuel point cannot do it now (closed, offline, busy, sale buffer full, "
                  "nothing to stop), or the Idempotency-Key says otherwise"),
            Error(502, "the controller did not carry it out")};
}

std::vector<Answer> SaleAnswers() {
    return {Ok("the sale as it is now", Ref("Sale")), Error(404, "no such sale"),
            Error(409,
                  "locked or cleared by another client (error.data: the sale), not locked, "
                  "already cleared, or the Idempotency-Key says otherwise")};
}

std::vector<Route> MakeRoutes() {
    const json empty = Ref("EmptyRequest");
    std::vector<Route> routes = {
        {"GET",
         "/api/v1/client",
         "getClient",
         "read who the token belongs to and what it may do (a console offers only that)",
         Permission::Read,
         false,
         {},
         nullptr,
         nullptr,
         {Ok("the client, its role and its permissions", Ref("Client"))},
         handlers::GetClient},
        {"GET",
         "/api/v1/forecourt",
         "getForecourt",
         "read the forecourt: fuel points, nozzles, grades, prices, states, running fills",
         Permission::Read,
         false,
         {},
         nullptr,
         nullptr,
         {Ok("every fuel point and grade, and the last event included", Ref("Forecourt"))},
         handlers::GetForecourt},
        {"GET",
         "/api/v1/fuel-points/{fp}",
         "getFuelPoint",
         "read a fuel point",
         Permission::Read,
         false,
         {FuelPointParameter()},
         nullptr,
         nullptr,
         {Ok("the fuel point", Ref("FuelPoint")), Error(404, "no such fuel point")},
         handlers::GetFuelPoint},
        {"POST",
         "/api/v1/fuel-points/{fp}/authorise",
         "authorise",
         "authorise a fuel point for one fill",
         Permission::Sell,
         true,
         {FuelPointParameter()},
         Ref("AuthoriseRequest"),
         json{{"preset", {{"kind", "money"}, {"value", 20}}}},
         CommandAnswers("the fuel point, authorised", Ref("FuelPoint")),
         handlers::Authorise},
        {"POST",
         "/api/v1/fuel-points/{fp}/stop",
         "stop",
         "stop a fuel point's fill, or withdraw its authorisation",
         Permission::Sell,
         true,
         {FuelPointParameter()},
         empty,
         nullptr,
         CommandAnswers("the fuel point, stopped", Ref("FuelPoint")),
         handlers::StopFill},
        {"POST",
         "/api/v1/fuel-points/{fp}/close",
         "close",
         "close a fuel point (a running fill finishes; an authorisation is withdrawn)",
         Permission::Close,
         true,
         {FuelPointParameter()},
         empty,
         nullptr,
         CommandAnswers("the fuel point, closed", Ref("FuelPoint")),
         handlers::Close},
        {"POST",
         "/api/v1/fuel-points/{fp}/open",
         "open",
         "open a closed fuel point",
         Permission::Close,
         true,
         {FuelPointParameter()},
         empty,
         nullptr,
         CommandAnswers("the fuel point, open", Ref("FuelPoint")),
         handlers::Open},
        {"GET",
         "/api/v1/fuel-points/{fp}/totals",
         "getTotals",
         "read every nozzle's totaliser now",
         Permission::Read,
         false,
         {FuelPointParameter()},
         nullptr,
         nullptr,
         {Ok("the totalisers, as the controller gave them", Ref("Totals")),
          Error(404, "no such fuel point"), Error(409, "the fuel point is offline"),
          Error(502, "the controller did not answer")},
         handlers::Totals},
        {"POST",
         "/api/v1/forecourt/emergency-stop",
         "emergencyStop",
         "stop every fill and withdraw every authorisation, on every line at once",
         Permission::EmergencyStop,
         true,
         {},
         empty,
         nullptr,
         {Ok("the fuel points stopped", Ref("EmergencyStopResult")),
          Error(502, "a controller did not carry it out")},
         handlers::EmergencyStop},
        {"GET",
         "/api/v1/sales",
         "listSales",
         "list sales, newest first",
         Permission::Read,
         false,
         {Query("state", {{"enum", {"PAYABLE", "LOCKED", "CLEARED"}}}, "only sales in this state",
                "PAYABLE"),
          Query("fuelPoint", {{"type", "integer"}, {"minimum", 1}, {"maximum", 2147483647}},
                "only this fuel point's", 1),
          Query("from", TimeSchema(), "ended at or after", "2024-01-01T00:00:00Z"),
          Query("to", TimeSchema(), "ended before"),
          Query("limit", {{"type", "integer"}, {"minimum", 1}, {"maximum", 1000}},
                "at most this many (default 100)", 50)},
         nullptr,
         nullptr,
         {Ok("the sales", Ref("SaleList"))},
         handlers::ListSales},
        {"GET",
         "/api/v1/sales/{id}",
         "getSale",
         "read a sale",
         Permission::Read,
         false,
         {SaleParameter()},
         nullptr,
         nullptr,
         {Ok("the sale", Ref("Sale")), Error(404, "no such sale")},
         handlers::GetSale},
        {"POST",
         "/api/v1/sales/{id}/lock",
         "lockSale",
         "lock a sale to this client, so that no other may lock or clear it",
         Permission::Sell,
         true,
         {SaleParameter()},
         empty,
         nullptr,
         SaleAnswers(),
         handlers::LockSale},
        {"POST",
         "/api/v1/sales/{id}/unlock",
         "unlockSale",
         "unlock a sale this client locked",
         Permission::Sell,
         true,
         {SaleParameter()},
         empty,
         nullptr,
         SaleAnswers(),
         handlers::UnlockSale},
        {"POST",
         "/api/v1/sales/{id}/clear",
         "clearSale",
         "clear (settle) a sale; again by the same client, the sale as it was cleared",
         Permission::Sell,
         true,
         {SaleParameter()},
         empty,
         nullptr,
         SaleAnswers(),
         handlers::ClearSale},
        {"PUT",
         "/api/v1/grades/{grade}/price",
         "setPrice",
         "change a grade's price on every nozzle of it, each read back from its controller",
         Permission::Price,
         true,
         {{"grade", Parameter::In::Path, true,
           json{{"type", "string"}, {"minLength", 1}, {"maxLength", 64}}, "the grade's code",
           "95"}},
         Ref("PriceRequest"),
         json{{"price", 45.99}},
         {Ok("every controller confirmed (or takes it after its running fill)", Ref("PriceReport")),
          Error(404, "no such grade"),
          Error(502, "a controller did not confirm the price (error.data: the report)")},
         handlers::SetPrice},
        {"GET",
         "/api/v1/reconciliation",
         "getReconciliation",
         "each nozzle's totaliser growth over a period against the fills recorded",
         Permission::Read,
         false,
         {Query("from", TimeSchema(), "the period's start", "2024-01-01T00:00:00Z", true),
          Query("to", TimeSchema(), "the period's end (default: now, with a fresh reading)"),
          Query("fuelPoint", {{"type", "integer"}, {"minimum", 1}, {"maximum", 2147483647}},
                "only this fuel point"),
          Query("tolerance", {{"type", "number"}, {"minimum", 0}},
                "litres a nozzle may differ by (default: the configuration's)")},
         nullptr,
         nullptr,
         {Ok("the reconciliation", Ref("Reconciliation")), Error(404, "no such fuel point"),
          Error(502, "a controller did not answer")},
         handlers::Reconciliation},
        {"GET",
         "/api/v1/events",
         "events",
         "the events as Server-Sent Events: id (the journal's sequence number, none for fill "
         "progress), event (the type), data (the event as JSON); a heartbeat comment at least "
         "every 15 s",
         Permission::Read,
         false,
         StreamParameters(),
         nullptr,
         nullptr,
         {{200,
           "the stream, until the client leaves or falls too far behind (then an error "
           "event says why)",
           "text/event-stream", Ref("Event")}},
         handlers::Events},
        {"GET",
         "/api/v1/ws",
         "webSocket",
         "the events as WebSocket text messages, one event (JSON) each",
         Permission::Read,
         false,
         StreamParameters(),
         nullptr,
         nullptr,
         {{101, "the WebSocket; each message an Event", "application/json", Ref("Event")},
          Error(426, "not a WebSocket handshake")},
         handlers::WebSocket},
        {"GET",
         "/api/v1/openapi.json",
         "getOpenApi",
         "read this document",
         Permission::Public,
         false,
         {},
         nullptr,
         nullptr,
         {Ok("this document", json{{"type", "object"}})},
         handlers::OpenApi},
        {"GET",
         "/healthz",
         "getHealth",
         "read the health of the lines and the journal",
         Permission::Public,
         false,
         {},
         nullptr,
         nullptr,
         {Ok("every line answers and the journal reads", Ref("Health")),
          {503, "a line is down or the journal cannot be read", "application/json", Ref("Health")}},
         handlers::Health},
        {"GET",
         "/metrics",
         "getMetrics",
         "read the counters (Prometheus text format)",
         Permission::Read,
         false,
         {},
         nullptr,
         nullptr,
         {{200, "the counters", "text/plain; version=0.0.4; charset=utf-8", nullptr}},
         handlers::Metrics},
        {"GET",
         "/",
         "getConsole",
         "open the web console",
         Permission::Public,
         false,
         {},
         nullptr,
         nullptr,
         {{200, "the console's page", "text/html; charset=utf-8", nullptr},
          Error(404, "this build has no console")},
         handlers::ConsoleFile},
        {"GET",
         "/assets/{file}",
         "getConsoleFile",
         "read a file of the web console",
         Permission::Public,
         false,
         {{"file", Parameter::In::Path, true, json{{"type", "string"}, {"maxLength", 128}},
           "the file's name", "console.js"}},
         nullptr,
         nullptr,
         {{200,
           "the file, typed by its name's ending (a script as here; a style sheet text/css, a "
           "picture image/svg+xml)",
           "text/javascript; charset=utf-8", nullptr},
          Error(404, "no such file")},
         handlers::ConsoleFile},
    };
    return routes;
}

}  // namespace

const std::vector<Route>& Routes() {
    static const std::vector<Route> routes = MakeRoutes();
    return routes;
}

Response FromOutcome(const forecourt::Outcome& outcome) {
    Response response = outcome.Ok() ? JsonResponse(200, outcome.data)
                                     : ErrorResponse(forecourt::HttpStatus(outcome.status),
                                                     outcome.reason, outcome.message, outcome.data);
    if (outcome.replayed)
        response.SetHeader("Idempotent-Replayed", "true");
    return response;
}

}  // namespace fuel::server
