#include "hq/Changes.h"

namespace fuel::hq {
namespace {

// The key of the transaction lock under which changes are numbered ("hqch"). Numbers taken
// from a sequence would commit out of order, and a reader resuming after a later number
// would miss an earlier one still committing.
constexpr std::int64_t kChangesLock = 0x68716368;

}  // namespace

void AppendChanges(Connection& connection, const std::vector<Change>& changes) {
    if (changes.empty())
        return;
    std::vector<std::string> kinds, data;
    std::vector<std::optional<std::string>> stations;
    for (const Change& change : changes) {
        kinds.push_back(change.kind);
        stations.push_back(change.station);
        data.push_back(change.data.dump());
    }
    connection.Exec("SELECT pg_advisory_xact_lock($1)", {kChangesLock});
    connection.Exec(
        "INSERT INTO changes (id, kind, station, data) "
        "SELECT (SELECT coalesce(max(id), 0) FROM changes) + n, kind, station, data "
        "FROM unnest($1::text[], $2::text[], $3::jsonb[]) WITH ORDINALITY AS c(kind, station, "
        "data, n)",
        {ArrayLiteral(kinds), ArrayLiteral(stations), ArrayLiteral(data)});
    connection.Exec("SELECT pg_notify($1, '')", {kChangesChannel});
}

std::vector<StoredChange> ChangesAfter(Connection& connection, std::int64_t after, int limit) {
    const Result rows = connection.Exec(
        "SELECT id, hq_time_text(at), kind, station, data FROM changes WHERE id > $1 "
        "ORDER BY id LIMIT $2",
        {after, limit});
    std::vector<StoredChange> changes;
    for (int row = 0; row < rows.Rows(); ++row) {
        changes.push_back({rows.Integer(row, 0), std::string(rows.Text(row, 1)),
                           std::string(rows.Text(row, 2)), rows.OptionalText(row, 3),
                           nlohmann::json::parse(rows.Text(row, 4))});
    }
    return changes;
}

std::int64_t LastChange(Connection& connection) {
    return connection.Exec("SELECT coalesce(max(id), 0) FROM changes").Integer(0, 0);
}

std::string ChangeText(const StoredChange& change) {
    const nlohmann::json text = {
        {"id", change.id},
        {"kind", change.kind},
        {"at", change.at},
        {"station", change.station ? nlohmann::json(*change.station) : nlohmann::json(nullptr)},
        {"data", change.data}};
    return text.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace fuel::hq
