#include "server/Handlers.h"

#include <cmath>

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

// A link to the same request with these query parameters. Every value here is the server's
// own text (times as it writes them, numbers, names, cursors): none needs escaping.
std::string Link(const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& query) {
    std::string link = path;
    char separator = '?';
    for (const auto& [name, value] : query) {
        link += separator + name + "=" + value;
        separator = '&';
    }
    return link;
}

std::string TimeText(const json& value) {
    return value.get<std::string>();
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
    if (call.parameters.contains("cursor")) {
        filter.after = forecourt::ParseSaleCursor(call.parameters["cursor"].get<std::string>());
        if (!filter.after) {
            respond(
                BadRequest("query parameter cursor: not one this server gave (take the "
                           "next link of the page before)"));
            return;
        }
    }
    const forecourt::SalePage page = context.forecourt.SalesPage(filter);
    json next = nullptr;
    if (page.next) {
        std::vector<std::pair<std::string, std::string>> query;
        if (filter.state)
            query.emplace_back("state", forecourt::Name(*filter.state));
        if (filter.fuelPoint)
            query.emplace_back("fuelPoint", std::to_string(*filter.fuelPoint));
        if (filter.from)
            query.emplace_back("from", forecourt::FormatTime(*filter.from));
        if (filter.to)
            query.emplace_back("to", forecourt::FormatTime(*filter.to));
        query.emplace_back("limit", std::to_string(filter.limit));
        query.emplace_back("cursor", forecourt::FormatCursor(*page.next));
        next = Link("/api/v1/sales", query);
    }
    // Written straight to text: a thousand sales are half a megabyte.
    Response response;
    response.body = "{\"next\":" + next.dump() + ",\"sales\":[";
    for (std::size_t i = 0; i < page.sales.size(); ++i) {
        if (i > 0)
            response.body += ',';
        forecourt::AppendJson(response.body, page.sales[i]);
    }
    response.body += "]}";
    respond(std::move(response));
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
    // A nozzle that does not add up links to its stretches that differ, over the same period
    // (its end fixed, so that the pages agree with this summary).
    context.forecourt.Reconcile(request, [respond = std::move(respond)](Outcome outcome) {
        if (outcome.Ok()) {
            json& data = outcome.data;
            const double tolerance = data["tolerance"].get<double>();
            for (json& nozzle : data["nozzles"]) {
                if (std::fabs(nozzle["difference"].get<double>()) <= tolerance) {
                    nozzle["discrepancies"] = nullptr;
                    continue;
                }
                nozzle["discrepancies"] = Link("/api/v1/reconciliation/discrepancies",
                                               {{"fuelPoint", nozzle["fuelPoint"].dump()},
                                                {"nozzle", nozzle["nozzle"].dump()},
                                                {"from", TimeText(data["from"])},
                                                {"to", TimeText(data["to"])},
                                                {"tolerance", data["tolerance"].dump()}});
            }
        }
        respond(FromOutcome(outcome));
    });
}

void Discrepancies(Context& context, const Call& call, Respond respond) {
    forecourt::DiscrepancyRequest request;
    request.fuelPoint = static_cast<int>(call.parameters["fuelPoint"].get<std::int64_t>());
    request.nozzle = static_cast<int>(call.parameters["nozzle"].get<std::int64_t>());
    request.from = *TimeParameter(call, "from");
    request.to = TimeParameter(call, "to");
    if (request.to && *request.to < request.from) {
        respond(BadRequest("query parameter to: must not be before from"));
        return;
    }
    if (call.parameters.contains("tolerance"))
        request.tolerance = call.parameters["tolerance"].get<double>();
    if (call.parameters.contains("cursor"))
        request.cursor = call.parameters["cursor"].get<std::string>();
    request.limit = static_cast<std::size_t>(call.parameters.value("limit", std::int64_t{100}));
    const std::size_t limit = request.limit;
    context.forecourt.Discrepancies(
        request, [respond = std::move(respond), limit](Outcome outcome) {
            if (outcome.Ok()) {
                json& data = outcome.data;
                json next = nullptr;
                if (data["cursor"].is_string()) {
                    next = Link("/api/v1/reconciliation/discrepancies",
                                {{"fuelPoint", data["fuelPoint"].dump()},
                                 {"nozzle", data["nozzle"].dump()},
                                 {"from", TimeText(data["from"])},
                                 {"to", TimeText(data["to"])},
                                 {"tolerance", data["tolerance"].dump()},
                                 {"limit", std::to_string(limit)},
                                 {"cursor", data["cursor"].get<std::string>()}});
                }
                data.erase("cursor");
                data["next"] = std::move(next);
            }
            respond(FromOutcome(outcome));
        });
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
    respond(ConsoleFiles().Serve(call));
}

}  // namespace fuel::server::handlers
