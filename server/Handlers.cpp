#include "server/Handlers.h"

#include "forecourt/Forecourt.h"
#include "server/EventHub.h"
#include "server/Metrics.h"
#include "server/OpenApi.h"
#include "server/OutcomeResponse.h"
#include "server/Roles.h"
#include "server/StaticFiles.h"

namespace fuel::server::handlers {
namespace {

using forecourt::Outcome;
using http::Call;
using http::ErrorResponse;
using http::JsonResponse;
using http::Respond;
using http::Response;
using nlohmann::json;

int FuelPointOf(const Call& call) {
    return static_cast<int>(call.parameters.at("fp").get<std::int64_t>());
}

forecourt::SaleId SaleOf(const Call& call) {
    return call.parameters.at("id").get<forecourt::SaleId>();
}

// The forecourt answers on its own threads; the response goes back from there.
forecourt::Done RespondWhenDone(Respond respond) {
    return [respond = std::move(respond)](Outcome outcome) { respond(FromOutcome(outcome)); };
}

std::string ClientOf(const Call& call) {
    return call.principal ? call.principal->name : "";
}

// Who asks the forecourt for a change: the client and its Idempotency-Key.
forecourt::Caller CallerOf(const Call& call) {
    return {ClientOf(call), call.idempotencyKey};
}

std::optional<forecourt::Time> TimeParameter(const Call& call, const char* name) {
    if (!call.parameters.contains(name))
        return std::nullopt;
    return forecourt::ParseTime(call.parameters.at(name).get<std::string>());
}

Response BadRequest(const std::string& message) {
    return ErrorResponse(400, forecourt::reason::kBadRequest, message);
}

// Where a stream starts: Last-Event-ID (what a reconnecting browser sends) wins over
// ?since=N (what the page asked for the first time). An id past the journal's last event
// cannot be from this journal: resuming after it would skip the events until the journal
// catches up with it, so it is refused.
void StartStream(Context& context, const Call& call, const Respond& respond) {
    std::optional<forecourt::Sequence> after;
    if (call.parameters.contains("Last-Event-ID")) {
        after = call.parameters.at("Last-Event-ID").get<forecourt::Sequence>();
    } else if (call.parameters.contains("since")) {
        after = call.parameters.at("since").get<forecourt::Sequence>();
    }
    if (after) {
        const forecourt::Sequence last = context.forecourt.GetJournal().LastSequence();
        if (*after > last) {
            respond(ErrorResponse(400, "unknown-sequence",
                                  "event " + std::to_string(*after) +
                                      " is past this journal's last event " + std::to_string(last) +
                                      "; start again without since or Last-Event-ID"));
            return;
        }
    }
    Response response;
    response.stream = http::StreamStart{.after = after,
                                        .transient = call.parameters.value("progress", true),
                                        .client = ClientOf(call)};
    respond(std::move(response));
}

}  // namespace

void GetClient(Context&, const Call& call, Respond respond) {
    json permissions = json::array();
    // The token store hands out no role that the table lacks.
    if (const auto role = RoleFromName(call.principal->role)) {
        for (const Permission permission : PermissionsOf(*role))
            permissions.push_back(Name(permission));
    }
    respond(JsonResponse(200, {{"name", call.principal->name},
                               {"role", call.principal->role},
                               {"permissions", std::move(permissions)}}));
}

void GetForecourt(Context& context, const Call&, Respond respond) {
    respond(JsonResponse(200, forecourt::ToJson(context.forecourt.GetSnapshot())));
}

void GetFuelPoint(Context& context, const Call& call, Respond respond) {
    const int id = FuelPointOf(call);
    if (const auto point = context.forecourt.FuelPoint(id)) {
        respond(JsonResponse(200, forecourt::ToJson(*point)));
    } else {
        respond(ErrorResponse(404, forecourt::reason::kNoFuelPoint,
                              "there is no fuel point " + std::to_string(id)));
    }
}

void Authorise(Context& context, const Call& call, Respond respond) {
    forecourt::AuthoriseRequest request;
    request.fuelPoint = FuelPointOf(call);
    const json& body = call.body;
    if (body.contains("preset")) {
        const json& preset = body["preset"];
        const std::string kind = preset["kind"].get<std::string>();
        if (kind == "none") {
            if (preset.contains("value")) {
                respond(BadRequest("preset.value: a preset of kind none has no value"));
                return;
            }
        } else {
            if (!preset.contains("value")) {
                respond(BadRequest("preset.value is missing: a " + kind + " preset needs one"));
                return;
            }
            const double value = preset["value"].get<double>();
            request.preset = forecourt::PresetFrom(kind, value);
        }
    }
    if (body.contains("grades"))
        request.grades = body["grades"].get<std::vector<std::string>>();
    request.prepaid = body.value("prepaid", false);
    context.forecourt.Authorise(request, CallerOf(call), RespondWhenDone(std::move(respond)));
}

void StopFill(Context& context, const Call& call, Respond respond) {
    context.forecourt.Stop(FuelPointOf(call), CallerOf(call), RespondWhenDone(std::move(respond)));
}

void EmergencyStop(Context& context, const Call& call, Respond respond) {
    context.forecourt.EmergencyStop(CallerOf(call), RespondWhenDone(std::move(respond)));
}

void Close(Context& context, const Call& call, Respond respond) {
    context.forecourt.Close(FuelPointOf(call), CallerOf(call), RespondWhenDone(std::move(respond)));
}

void Open(Context& context, const Call& call, Respond respond) {
    context.forecourt.Open(FuelPointOf(call), CallerOf(call), RespondWhenDone(std::move(respond)));
}

void ListSales(Context& context, const Call& call, Respond respond) {
    forecourt::SaleFilter filter;
    if (call.parameters.contains("state")) {
        filter.state = forecourt::FillStateFromName(call.parameters["state"].get<std::string>());
    }
    if (call.parameters.contains("fuelPoint")) {
        filter.fuelPoint = static_cast<int>(call.parameters["fuelPoint"].get<std::int64_t>());
    }
    filter.from = TimeParameter(call, "from");
    filter.to = TimeParameter(call, "to");
    filter.limit = static_cast<std::size_t>(call.parameters.value("limit", std::int64_t{100}));
    json sales = json::array();
    for (const forecourt::Sale& sale : context.forecourt.Sales(filter)) {
        sales.push_back(forecourt::ToJson(sale));
    }
    respond(JsonResponse(200, {{"sales", std::move(sales)}}));
}

void GetSale(Context& context, const Call& call, Respond respond) {
    const forecourt::SaleId id = SaleOf(call);
    if (const auto sale = context.forecourt.FindSale(id)) {
        respond(JsonResponse(200, forecourt::ToJson(*sale)));
    } else {
        respond(ErrorResponse(404, forecourt::reason::kNoSale,
                              "there is no sale " + std::to_string(id)));
    }
}

void LockSale(Context& context, const Call& call, Respond respond) {
    context.forecourt.LockSale(SaleOf(call), CallerOf(call), RespondWhenDone(std::move(respond)));
}

void UnlockSale(Context& context, const Call& call, Respond respond) {
    context.forecourt.UnlockSale(SaleOf(call), CallerOf(call), RespondWhenDone(std::move(respond)));
}

void ClearSale(Context& context, const Call& call, Respond respond) {
    context.forecourt.ClearSale(SaleOf(call), CallerOf(call), RespondWhenDone(std::move(respond)));
}

void SetPrice(Context& context, const Call& call, Respond respond) {
    context.forecourt.SetPrice(call.parameters.at("grade").get<std::string>(),
                               call.body.at("price").get<double>(), CallerOf(call),
                               RespondWhenDone(std::move(respond)));
}

void Totals(Context& context, const Call& call, Respond respond) {
    context.forecourt.ReadTotals(FuelPointOf(call), RespondWhenDone(std::move(respond)));
}

void Reconciliation(Context& context, const Call& call, Respond respond) {
    forecourt::ReconcileRequest request;
    request.from = *TimeParameter(call, "from");
    request.to = TimeParameter(call, "to");
    if (request.to && *request.to < request.from) {
        respond(BadRequest("query parameter to: must not be before from"));
        return;
    }
    if (call.parameters.contains("fuelPoint")) {
        request.fuelPoint = static_cast<int>(call.parameters["fuelPoint"].get<std::int64_t>());
    }
    if (call.parameters.contains("tolerance")) {
        request.tolerance = call.parameters["tolerance"].get<double>();
    }
    context.forecourt.Reconcile(request, RespondWhenDone(std::move(respond)));
}

void Events(Context& context, const Call& call, Respond respond) {
    StartStream(context, call, respond);
}

// The pipeline has held the request to the route's transport (a WebSocket handshake).
void WebSocket(Context& context, const Call& call, Respond respond) {
    StartStream(context, call, respond);
}

void OpenApi(Context&, const Call&, Respond respond) {
    Response response;
    response.body = OpenApiText();
    respond(std::move(response));
}

void Health(Context& context, const Call&, Respond respond) {
    json journal = {{"ok", true}, {"lastSequence", nullptr}};
    try {
        // From the file itself, not from memory: a journal whose file went away shows.
        journal["lastSequence"] = context.forecourt.LastSequenceOnFile();
    } catch (const std::exception& e) {
        journal["ok"] = false;
        journal["error"] = e.what();
    }
    // It reads, but cannot write: no fill is authorised until it can.
    if (const auto failure = context.forecourt.JournalFailure()) {
        journal["ok"] = false;
        journal["writing"] = false;
        journal["failingSince"] = forecourt::FormatTime(failure->since);
        if (!journal.contains("error"))
            journal["error"] = "the journal cannot write: " + failure->error;
    }
    bool ok = journal["ok"].get<bool>();
    json lines = json::array();
    for (const forecourt::LineHealth& line : context.forecourt.Health()) {
        ok = ok && line.up;
        lines.push_back({{"line", line.line},
                         {"port", line.port},
                         {"up", line.up},
                         {"fuelPoints", line.fuelPoints},
                         {"cycles", line.cycles}});
    }
    respond(JsonResponse(ok ? 200 : 503, {{"status", ok ? "ok" : "failing"},
                                          {"journal", std::move(journal)},
                                          {"lines", std::move(lines)}}));
}

void Metrics(Context& context, const Call&, Respond respond) {
    EventCounts events;
    if (context.hub != nullptr) {
        events.published = context.hub->Published();
        events.dropped = context.hub->Dropped();
    }
    Response response;
    response.contentType = "text/plain; version=0.0.4; charset=utf-8";
    response.body = FormatMetrics(context.forecourt.Health(), context.forecourt.GetSnapshot(),
                                  context.counters, events);
    respond(std::move(response));
}

void ConsoleFile(Context&, const Call& call, Respond respond) {
    const std::string name = call.parameters.contains("file")
                                 ? call.parameters["file"].get<std::string>()
                                 : "index.html";
    for (const StaticFile& file : ConsoleFiles()) {
        if (file.name == name) {
            Response response;
            response.contentType = std::string(file.contentType);
            response.body = std::string(file.bytes);
            response.SetHeader("Content-Security-Policy", std::string(kConsolePolicy));
            response.SetHeader("X-Content-Type-Options", "nosniff");
            response.SetHeader("Referrer-Policy", "no-referrer");
            respond(std::move(response));
            return;
        }
    }
    respond(ErrorResponse(404, "not-found", "this build has no console file " + name));
}

}  // namespace fuel::server::handlers
