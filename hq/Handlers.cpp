#include "hq/Handlers.h"

#include <array>
#include <chrono>

#include "hq/Changes.h"
#include "hq/ConnectionPool.h"
#include "hq/Health.h"
#include "hq/OpenApi.h"
#include "hq/Paging.h"
#include "hq/Roles.h"
#include "hq/Time.h"
#include "http/Pipeline.h"

namespace fuel::hq::handlers {
namespace {

using http::ErrorResponse;
using http::JsonResponse;
using http::Response;
using nlohmann::json;

Response BadRequest(const std::string& message) {
    return ErrorResponse(400, http::kBadRequestCode, message);
}

std::optional<std::string> Text(const Call& call, const char* name) {
    if (!call.parameters.contains(name))
        return std::nullopt;
    return call.parameters.at(name).get<std::string>();
}

// The pipeline has checked the format: ParseTime reads it.
std::optional<http::Time> TimeOf(const Call& call, const char* name) {
    const auto text = Text(call, name);
    return text ? http::ParseTime(*text) : std::nullopt;
}

json TextOrNull(const Result& result, int row, int column) {
    const auto text = result.OptionalText(row, column);
    return text ? json(*text) : json(nullptr);
}

// numeric's text as a JSON number, digits as PostgreSQL wrote them.
json Decimal(const Result& result, int row, int column) {
    return json::parse(result.Text(row, column));
}

// A statement's parameters, numbered as they are added.
struct Statement {
    std::string sql;
    std::vector<Parameter> parameters;

    std::string Add(Parameter value) {
        parameters.push_back(std::move(value));
        return "$" + std::to_string(parameters.size());
    }
    std::string AddTime(http::Time time) {
        parameters.emplace_back(Since(time));
        return TimeParameter(static_cast<int>(parameters.size()));
    }
    Result Run(Connection& db) const { return db.Exec(sql, parameters); }
};

const std::string& StationColumns() {
    static const std::string columns =
        "s.id, array_to_json(s.groups)::text, s.version, s.status, " +
        TimeColumn("s.status_since") + ", " + TimeColumn("s.last_event_at") +
        ", s.published, s.watermark, s.applied, " + TimeColumn("s.gap_since") +
        ", (SELECT count(*) FROM alarms a WHERE a.station = s.id AND a.acknowledged_at IS NULL)"
        // Silent as the worker judges it (its silent-after): its alarm of that is not cleared.
        ", EXISTS (SELECT 1 FROM alarms a WHERE a.station = s.id AND a.cleared_at IS NULL AND "
        "a.kind = '" +
        std::string(alarm_kind::kStationSilent) + "')";
    return columns;
}

json StationJson(const Result& r, int row) {
    const std::int64_t published = r.Integer(row, 6);
    const std::int64_t watermark = r.Integer(row, 7);
    return {{"id", r.Text(row, 0)},
            {"groups", json::parse(r.Text(row, 1))},
            {"version", TextOrNull(r, row, 2)},
            {"status", r.Text(row, 3)},
            {"statusSince", TimeOrNull(r, row, 4)},
            {"lastEventAt", TimeOrNull(r, row, 5)},
            {"published", published},
            {"watermark", watermark},
            {"applied", r.Integer(row, 8)},
            {"lag", published > watermark ? published - watermark : 0},
            {"gapSince", TimeOrNull(r, row, 9)},
            {"openAlarms", r.Integer(row, 10)},
            {"silent", r.Boolean(row, 11)}};
}

const std::string& SaleColumns() {
    static const std::string columns =
        "station, id, fuel_point, nozzle, grade, price::text, volume::text, amount::text, state, "
        "authorised_by, locked_by, cleared_by, " +
        TimeColumn("started_at") + ", " + TimeColumn("ended_at") + ", " + TimeColumn("locked_at") +
        ", " + TimeColumn("cleared_at") + ", sequence, ended_at::text";
    return columns;
}

json SaleJson(const Result& r, int row) {
    return {{"station", r.Text(row, 0)},
            {"id", r.Integer(row, 1)},
            {"fuelPoint", r.Integer(row, 2)},
            {"nozzle", r.Integer(row, 3)},
            {"grade", r.Text(row, 4)},
            {"price", Decimal(r, row, 5)},
            {"volume", Decimal(r, row, 6)},
            {"amount", Decimal(r, row, 7)},
            {"state", r.Text(row, 8)},
            {"authorisedBy", TextOrNull(r, row, 9)},
            {"lockedBy", TextOrNull(r, row, 10)},
            {"clearedBy", TextOrNull(r, row, 11)},
            {"startedAt", TimeOrNull(r, row, 12)},
            {"endedAt", TimeOrNull(r, row, 13)},
            {"lockedAt", TimeOrNull(r, row, 14)},
            {"clearedAt", TimeOrNull(r, row, 15)},
            {"sequence", r.Integer(row, 16)}};
}

// An alarm's columns for a list: its id (the cursor's key), then the alarm as JSON, made in
// one place (Health.h) for the API and the change stream alike.
const std::string& AlarmColumns() {
    static const std::string columns = "a.id, " + std::string(kAlarmJson);
    return columns;
}

json AlarmJson(const Result& r, int row) {
    return json::parse(r.Text(row, 1));
}

// The columns a report may group by, each with the SQL that makes it: a fixed list, so that
// nothing of the request reaches the statement's text but through this table.
struct Grouping {
    std::string_view name;
    std::string_view sql;
};
constexpr std::array<Grouping, 3> kGroupings = {{
    {"day", "to_char(ended_at AT TIME ZONE 'UTC', 'YYYY-MM-DD')"},
    {"station", "station"},
    {"grade", "grade"},
}};

}  // namespace

void GetClient(Context&, const Call& call, Respond respond) {
    json permissions = json::array();
    for (const RoleInfo& role : Roles()) {
        if (role.name == call.principal->role) {
            for (const std::string_view permission : role.permissions)
                permissions.push_back(permission);
        }
    }
    respond(JsonResponse(200, {{"name", call.principal->name},
                               {"role", call.principal->role},
                               {"permissions", std::move(permissions)}}));
}

void GetStations(Context& context, const Call& call, Respond respond) {
    Statement statement;
    statement.sql = "SELECT " + StationColumns() + " FROM stations s";
    if (const auto group = Text(call, "group"))
        statement.sql += " WHERE " + statement.Add(*group) + " = ANY(s.groups)";
    statement.sql += " ORDER BY s.id";
    const Result rows = context.pool.With([&](Connection& db) { return statement.Run(db); });
    json stations = json::array();
    for (int row = 0; row < rows.Rows(); ++row)
        stations.push_back(StationJson(rows, row));
    respond(JsonResponse(200, {{"stations", std::move(stations)}}));
}

void GetStation(Context& context, const Call& call, Respond respond) {
    const std::string id = call.parameters.at("station").get<std::string>();
    const json detail = context.pool.With([&](Connection& db) -> json {
        // One snapshot for the station and what it holds.
        Transaction transaction(db);
        db.Exec("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY");
        const Result station =
            db.Exec("SELECT " + StationColumns() + " FROM stations s WHERE s.id = $1", {id});
        if (station.Rows() == 0)
            return nullptr;
        const Result points = db.Exec("SELECT data::text, id, state, " + TimeColumn("at") +
                                          ", sequence FROM fuel_points WHERE station = $1 "
                                          "ORDER BY id",
                                      {id});
        json fuelPoints = json::array();
        for (int row = 0; row < points.Rows(); ++row) {
            json point = json::parse(points.Text(row, 0));
            if (!point.is_object())
                point = json::object();
            point["id"] = points.Integer(row, 1);
            point["state"] = points.Text(row, 2);
            point["at"] = TimeText(points, row, 3);
            point["sequence"] = points.Integer(row, 4);
            fuelPoints.push_back(std::move(point));
        }
        const Result priceRows = db.Exec("SELECT grade, name, price::text, " + TimeColumn("at") +
                                             " FROM prices WHERE station = $1 ORDER BY grade",
                                         {id});
        json prices = json::array();
        for (int row = 0; row < priceRows.Rows(); ++row) {
            prices.push_back({{"grade", priceRows.Text(row, 0)},
                              {"name", TextOrNull(priceRows, row, 1)},
                              {"price", Decimal(priceRows, row, 2)},
                              {"at", TimeText(priceRows, row, 3)}});
        }
        const Result waiting = db.Exec("SELECT " + SaleColumns() +
                                           " FROM sales WHERE station = $1 AND state <> "
                                           "'CLEARED' ORDER BY ended_at, id",
                                       {id});
        json sales = json::array();
        for (int row = 0; row < waiting.Rows(); ++row)
            sales.push_back(SaleJson(waiting, row));
        // The grades as the station's retained info last told them (code, name, price): what
        // it sells even before any price event came.
        const Result info = db.Exec(
            "SELECT coalesce(info->'grades', '[]')::text FROM stations WHERE id = $1", {id});
        json grades = json::parse(info.Text(0, 0));
        if (!grades.is_array())
            grades = json::array();
        transaction.Commit();
        return {{"station", StationJson(station, 0)},
                {"fuelPoints", std::move(fuelPoints)},
                {"grades", std::move(grades)},
                {"prices", std::move(prices)},
                {"waitingSales", std::move(sales)}};
    });
    if (detail.is_null()) {
        respond(ErrorResponse(404, "no-station",
                              "the head office has heard of no station '" + id + "'"));
        return;
    }
    respond(JsonResponse(200, detail));
}

void GetSales(Context& context, const Call& call, Respond respond) {
    const std::size_t limit = LimitOf(call);
    Statement statement;
    // A sale is made when its fill ends: every one has an end, by which the list runs.
    statement.sql = "SELECT " + SaleColumns() + " FROM sales WHERE ended_at IS NOT NULL";
    if (const auto station = Text(call, "station"))
        statement.sql += " AND station = " + statement.Add(*station);
    if (const auto grade = Text(call, "grade"))
        statement.sql += " AND grade = " + statement.Add(*grade);
    if (const auto state = Text(call, "state"))
        statement.sql += " AND state = " + statement.Add(*state);
    if (const auto from = TimeOf(call, "from"))
        statement.sql += " AND ended_at >= " + statement.AddTime(*from);
    if (const auto to = TimeOf(call, "to"))
        statement.sql += " AND ended_at < " + statement.AddTime(*to);
    if (const auto cursor = Text(call, "cursor")) {
        const auto key = DecodeCursor(*cursor);
        if (!key || !key->is_array() || key->size() != 3 || !(*key)[0].is_string() ||
            !(*key)[1].is_string() || !(*key)[2].is_number_integer()) {
            respond(BadRequest("cursor: not one this list gave"));
            return;
        }
        statement.sql += " AND (ended_at, station, id) < (" +
                         statement.Add((*key)[0].get<std::string>()) + "::timestamptz, " +
                         statement.Add((*key)[1].get<std::string>()) + ", " +
                         statement.Add((*key)[2].get<std::int64_t>()) + ")";
    }
    statement.sql += " ORDER BY ended_at DESC, station DESC, id DESC LIMIT " +
                     statement.Add(static_cast<std::int64_t>(limit + 1));
    Result rows;
    try {
        rows = context.pool.With([&](Connection& db) { return statement.Run(db); });
    } catch (const DatabaseError& e) {
        // A cursor's time that PostgreSQL cannot read is the client's, not the database's.
        if (e.SqlState().starts_with("22")) {
            respond(BadRequest("cursor: not one this list gave"));
            return;
        }
        throw;
    }
    json sales = json::array();
    const int shown = std::min(rows.Rows(), static_cast<int>(limit));
    for (int row = 0; row < shown; ++row)
        sales.push_back(SaleJson(rows, row));
    json next = nullptr;
    if (rows.Rows() > shown) {
        const int last = shown - 1;
        next = NextLink(call, EncodeCursor(json::array({rows.Text(last, 17), rows.Text(last, 0),
                                                        rows.Integer(last, 1)})));
    }
    respond(JsonResponse(200, {{"sales", std::move(sales)}, {"next", std::move(next)}}));
}

void GetSalesReport(Context& context, const Call& call, Respond respond) {
    std::vector<const Grouping*> by;
    if (const auto text = Text(call, "by"); text && !text->empty()) {
        std::string_view rest = *text;
        while (true) {
            const auto comma = rest.find(',');
            const std::string_view name = rest.substr(0, comma);
            const Grouping* found = nullptr;
            for (const Grouping& grouping : kGroupings) {
                if (grouping.name == name)
                    found = &grouping;
            }
            if (found == nullptr) {
                respond(
                    BadRequest("by: '" + std::string(name) + "' is none of day, station, grade"));
                return;
            }
            if (std::find(by.begin(), by.end(), found) != by.end()) {
                respond(BadRequest("by: " + std::string(name) + " is named twice"));
                return;
            }
            by.push_back(found);
            if (comma == std::string_view::npos)
                break;
            rest.remove_prefix(comma + 1);
        }
    }
    const http::Time from = *TimeOf(call, "from");
    const http::Time to = TimeOf(call, "to").value_or(std::chrono::system_clock::now());
    if (to < from) {
        respond(BadRequest("to is before from"));
        return;
    }
    Statement statement;
    std::string groups;
    for (std::size_t i = 0; i < by.size(); ++i)
        groups += (i ? ", " : "") + std::string(by[i]->sql);
    statement.sql = "SELECT " + (groups.empty() ? "" : groups + ", ") +
                    "coalesce(sum(volume), 0)::text, coalesce(sum(amount), 0)::text, count(*) "
                    "FROM sales WHERE ended_at >= " +
                    statement.AddTime(from) + " AND ended_at < " + statement.AddTime(to);
    if (const auto station = Text(call, "station"))
        statement.sql += " AND station = " + statement.Add(*station);
    if (const auto group = Text(call, "group")) {
        statement.sql += " AND station IN (SELECT id FROM stations WHERE " + statement.Add(*group) +
                         " = ANY(groups))";
    }
    if (const auto grade = Text(call, "grade"))
        statement.sql += " AND grade = " + statement.Add(*grade);
    if (!groups.empty())
        statement.sql += " GROUP BY " + groups + " ORDER BY " + groups;
    const Result rows = context.pool.With([&](Connection& db) { return statement.Run(db); });
    json names = json::array();
    for (const Grouping* grouping : by)
        names.push_back(grouping->name);
    json out = json::array();
    for (int row = 0; row < rows.Rows(); ++row) {
        // Without a grouping an empty period still has its one row of zeros.
        json line = json::object();
        const int n = static_cast<int>(by.size());
        for (int i = 0; i < n; ++i)
            line[std::string(by[static_cast<std::size_t>(i)]->name)] = rows.Text(row, i);
        line["volume"] = Decimal(rows, row, n);
        line["amount"] = Decimal(rows, row, n + 1);
        line["count"] = rows.Integer(row, n + 2);
        out.push_back(std::move(line));
    }
    respond(JsonResponse(200, {{"by", std::move(names)}, {"rows", std::move(out)}}));
}

void GetAlarms(Context& context, const Call& call, Respond respond) {
    const std::size_t limit = LimitOf(call);
    Statement statement;
    statement.sql = "SELECT " + AlarmColumns() + " FROM alarms a WHERE true";
    const std::string state = Text(call, "state").value_or("unacknowledged");
    if (state == "unacknowledged")
        statement.sql += " AND acknowledged_at IS NULL";
    else if (state == "open")
        statement.sql += " AND cleared_at IS NULL";
    if (const auto station = Text(call, "station"))
        statement.sql += " AND station = " + statement.Add(*station);
    if (const auto cursor = Text(call, "cursor")) {
        const auto key = DecodeCursor(*cursor);
        if (!key || !key->is_number_integer()) {
            respond(BadRequest("cursor: not one this list gave"));
            return;
        }
        statement.sql += " AND id < " + statement.Add(key->get<std::int64_t>());
    }
    statement.sql +=
        " ORDER BY id DESC LIMIT " + statement.Add(static_cast<std::int64_t>(limit + 1));
    const Result rows = context.pool.With([&](Connection& db) { return statement.Run(db); });
    json alarms = json::array();
    const int shown = std::min(rows.Rows(), static_cast<int>(limit));
    for (int row = 0; row < shown; ++row)
        alarms.push_back(AlarmJson(rows, row));
    json next = nullptr;
    if (rows.Rows() > shown)
        next = NextLink(call, EncodeCursor(rows.Integer(shown - 1, 0)));
    respond(JsonResponse(200, {{"alarms", std::move(alarms)}, {"next", std::move(next)}}));
}

void AcknowledgeAlarm(Context& context, const Call& call, Respond respond) {
    const std::int64_t id = call.parameters.at("id").get<std::int64_t>();
    const std::string who = call.principal->name;
    const json alarm = context.pool.With([&](Connection& db) -> json {
        // Only the first acknowledgement is a change; a repeat answers the alarm as it is.
        if (Acknowledge(db, id, who) == Acknowledged::NoSuchAlarm)
            return nullptr;
        const Result row =
            db.Exec("SELECT " + AlarmColumns() + " FROM alarms a WHERE id = $1", {id});
        return row.Rows() == 0 ? json(nullptr) : AlarmJson(row, 0);
    });
    if (alarm.is_null()) {
        respond(ErrorResponse(404, "no-alarm", "there is no alarm " + std::to_string(id)));
        return;
    }
    respond(JsonResponse(200, alarm));
}

void Changes(Context& context, const Call& call, Respond respond) {
    std::optional<std::int64_t> after;
    if (call.parameters.contains("Last-Event-ID"))
        after = call.parameters.at("Last-Event-ID").get<std::int64_t>();
    else if (call.parameters.contains("since"))
        after = call.parameters.at("since").get<std::int64_t>();
    if (after) {
        // An id past the last change is not from this database: resuming after it would
        // skip every change until the numbers caught up.
        const std::int64_t last = context.pool.With([](Connection& db) { return LastChange(db); });
        if (*after > last) {
            respond(ErrorResponse(400, "unknown-sequence",
                                  "change " + std::to_string(*after) + " is past the last one, " +
                                      std::to_string(last) +
                                      "; start again without since or Last-Event-ID"));
            return;
        }
    }
    Response response;
    response.stream =
        http::StreamStart{.after = after, .transient = false, .client = call.principal->name};
    respond(std::move(response));
}

void OpenApi(Context&, const Call&, Respond respond) {
    Response response;
    response.body = OpenApiText();
    respond(std::move(response));
}

void Health(Context& context, const Call&, Respond respond) {
    try {
        context.pool.With([](Connection& db) { db.Exec("SELECT 1"); });
        respond(JsonResponse(200, {{"status", "ok"}, {"database", "ok"}}));
    } catch (const std::exception& e) {
        respond(JsonResponse(503, {{"status", "failing"}, {"database", e.what()}}));
    }
}

}  // namespace fuel::hq::handlers
