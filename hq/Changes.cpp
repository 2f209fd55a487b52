#include "hq/Changes.h"

#include "hq/Time.h"

namespace fuel::hq {
namespace {

// The advisory lock the numbering is taken under ("hqch").
constexpr std::int64_t kChangeLock = 0x68716368;

}  // namespace

std::int64_t AddChange(Connection& db, const std::string& kind, const std::string& station,
                       const nlohmann::json& data) {
    db.Exec("SELECT pg_advisory_xact_lock($1)", {kChangeLock});
    const Result id = db.Exec(
        "INSERT INTO changes (id, kind, station, data) "
        "SELECT coalesce(max(id), 0) + 1, $1, $2, $3::jsonb FROM changes RETURNING id",
        {kind, station.empty() ? Parameter(std::nullopt) : Parameter(station), data.dump()});
    return id.Integer(0, 0);
}

std::int64_t LastChange(Connection& db) {
    return db.Exec("SELECT coalesce(max(id), 0) FROM changes").Integer(0, 0);
}

std::vector<Change> ReadChanges(Connection& db, std::int64_t after, std::size_t limit) {
    const Result rows = db.Exec("SELECT id, kind, " + Milliseconds("at") +
                                    ", station, data::text FROM changes WHERE id > $1 "
                                    "ORDER BY id LIMIT $2",
                                {after, static_cast<std::int64_t>(limit)});
    std::vector<Change> changes;
    changes.reserve(static_cast<std::size_t>(rows.Rows()));
    for (int row = 0; row < rows.Rows(); ++row) {
        const auto station = rows.OptionalText(row, 3);
        const nlohmann::json change = {
            {"id", rows.Integer(row, 0)},
            {"kind", rows.Text(row, 1)},
            {"at", TimeText(rows, row, 2)},
            {"station", station ? nlohmann::json(*station) : nlohmann::json(nullptr)},
            {"data", nlohmann::json::parse(rows.Text(row, 4))}};
        changes.push_back({rows.Integer(row, 0), std::string(rows.Text(row, 1)),
                           change.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)});
    }
    return changes;
}

}  // namespace fuel::hq
