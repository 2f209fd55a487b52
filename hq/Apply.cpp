#include "hq/Apply.h"

#include <nlohmann/json.hpp>

#include "forecourt/EventTypes.h"
#include "hq/Changes.h"
#include "hq/Health.h"

namespace fuel::hq {
namespace {

namespace event_type = forecourt::event_type;

// The first half of each station's apply lock ("hqap"); the second is the station's hash.
constexpr int kApplyLock = 0x68716170;

// Everything derived from the ranges (station, after, upto] in one statement: the events
// read once, each table's rows the latest valid event of their key; a row already written
// from a later event is left (the WHERE of each update), so that nothing goes back.
constexpr std::string_view kDerive = R"sql(
WITH ranges AS (
    SELECT * FROM unnest($1::text[], $2::bigint[], $3::bigint[]) AS r(station, after, upto)
), applied AS MATERIALIZED (
    -- Each station's range read from its partition's index. The LIMIT keeps the planner from
    -- joining the ranges to the whole events table: it cannot see how narrow they are.
    SELECT e.station, e.sequence, e.type, e.at, e.data
    FROM ranges r
    CROSS JOIN LATERAL (
        SELECT * FROM events e
        WHERE e.station = r.station AND e.sequence > r.after AND e.sequence <= r.upto
        ORDER BY e.sequence
        LIMIT r.upto - r.after) e
), sale AS (
    INSERT INTO sales AS s (station, id, fuel_point, nozzle, grade, price, volume, amount, state,
                            authorised_by, locked_by, cleared_by, started_at, ended_at,
                            locked_at, cleared_at, data, sequence)
    SELECT DISTINCT ON (station, id) * FROM (
        SELECT station, hq_bigint(data->'id') AS id, hq_integer(data->'fuelPoint') AS fuel_point,
               hq_integer(data->'nozzle') AS nozzle, hq_text(data->'grade') AS grade,
               hq_number(data->'price') AS price, hq_number(data->'volume') AS volume,
               hq_number(data->'amount') AS amount, hq_text(data->'state') AS state,
               hq_text(data->'authorisedBy'), hq_text(data->'lockedBy'),
               hq_text(data->'clearedBy'), hq_time(data->'startedAt'), hq_time(data->'endedAt'),
               hq_time(data->'lockedAt'), hq_time(data->'clearedAt'), data, sequence
        FROM applied WHERE type = $4) v
    WHERE id IS NOT NULL AND fuel_point IS NOT NULL AND nozzle IS NOT NULL AND
          grade IS NOT NULL AND price IS NOT NULL AND volume IS NOT NULL AND
          amount IS NOT NULL AND state IS NOT NULL
    ORDER BY station, id, sequence DESC
    ON CONFLICT (station, id) DO UPDATE SET
        fuel_point = excluded.fuel_point, nozzle = excluded.nozzle, grade = excluded.grade,
        price = excluded.price, volume = excluded.volume, amount = excluded.amount,
        state = excluded.state, authorised_by = excluded.authorised_by,
        locked_by = excluded.locked_by, cleared_by = excluded.cleared_by,
        started_at = excluded.started_at, ended_at = excluded.ended_at,
        locked_at = excluded.locked_at, cleared_at = excluded.cleared_at,
        data = excluded.data, sequence = excluded.sequence
    WHERE s.sequence < excluded.sequence
    RETURNING 1
), point AS (
    INSERT INTO fuel_points AS f (station, id, state, data, sequence, at)
    SELECT DISTINCT ON (station, id) * FROM (
        SELECT station, hq_integer(data->'id') AS id, hq_text(data->'state') AS state, data,
               sequence, at
        FROM applied WHERE type = $5) v
    WHERE id IS NOT NULL AND state IS NOT NULL
    ORDER BY station, id, sequence DESC
    ON CONFLICT (station, id) DO UPDATE SET
        state = excluded.state, data = excluded.data, sequence = excluded.sequence,
        at = excluded.at
    WHERE f.sequence < excluded.sequence
    RETURNING 1
), price AS (
    INSERT INTO prices AS p (station, grade, name, price, nozzles, sequence, at)
    SELECT DISTINCT ON (station, grade) * FROM (
        SELECT station, hq_text(data->'grade'->'code') AS grade,
               hq_text(data->'grade'->'name') AS name,
               hq_number(data->'grade'->'price') AS price,
               CASE WHEN jsonb_typeof(data->'nozzles') = 'array' THEN data->'nozzles'
                    ELSE '[]'::jsonb END AS nozzles,
               sequence, at
        FROM applied WHERE type = $6) v
    WHERE grade IS NOT NULL AND price IS NOT NULL
    ORDER BY station, grade, sequence DESC
    ON CONFLICT (station, grade) DO UPDATE SET
        name = excluded.name, price = excluded.price, nozzles = excluded.nozzles,
        sequence = excluded.sequence, at = excluded.at
    WHERE p.sequence < excluded.sequence
    RETURNING 1
), alarm AS (
    INSERT INTO alarms (station, kind, fuel_point, message, data, sequence, raised_at)
    SELECT station, hq_text(data->'kind'), hq_integer(data->'fuelPoint'),
           coalesce(hq_text(data->'message'), ''), data, sequence, at
    FROM applied WHERE type = $7 AND hq_text(data->'kind') IS NOT NULL
    ORDER BY station, sequence
    ON CONFLICT (station, sequence) DO NOTHING
    RETURNING id
), cursor AS (
    UPDATE stations s SET applied = r.upto FROM ranges r
    WHERE s.id = r.station AND s.applied < r.upto
    RETURNING 1
)
SELECT (SELECT count(*) FROM applied), (SELECT count(*) FROM sale),
       (SELECT count(*) FROM point), (SELECT count(*) FROM price),
       (SELECT json_agg(id ORDER BY id) FROM alarm), (SELECT count(*) FROM cursor)
)sql";

}  // namespace

ApplyReport Apply(Connection& connection, std::span<const std::string> stations,
                  std::int64_t limit) {
    ApplyReport report;
    if (stations.empty())
        return report;
    Transaction transaction(connection);
    // The locks first, in a statement of their own: the cursors read after them are those
    // the last holder committed.
    const Result locks = connection.Exec(
        "SELECT id, pg_try_advisory_xact_lock($2, hashtext(id)) "
        "FROM unnest($1::text[]) AS id ORDER BY id",
        {ArrayLiteral(stations), kApplyLock});
    std::vector<std::string> held;
    for (int row = 0; row < locks.Rows(); ++row) {
        if (locks.Boolean(row, 1))
            held.emplace_back(locks.Text(row, 0));
        else
            report.busy.emplace_back(locks.Text(row, 0));
    }
    if (held.empty())
        return report;
    const Result ranges = connection.Exec(
        "SELECT id, applied, least(watermark, applied + $2), watermark FROM stations "
        "WHERE id = ANY($1::text[]) AND watermark > applied ORDER BY id",
        {ArrayLiteral(held), limit});
    if (ranges.Rows() == 0)
        return report;
    std::vector<std::string> ids;
    std::vector<std::int64_t> after, upto;
    for (int row = 0; row < ranges.Rows(); ++row) {
        ids.emplace_back(ranges.Text(row, 0));
        after.push_back(ranges.Integer(row, 1));
        upto.push_back(ranges.Integer(row, 2));
        if (upto.back() < ranges.Integer(row, 3))
            report.unfinished.push_back(ids.back());
    }
    const Result derived = connection.Exec(
        kDerive, {ArrayLiteral(ids), ArrayLiteral(after), ArrayLiteral(upto), event_type::kSale,
                  event_type::kFuelPoint, event_type::kPrice, event_type::kAlarm});
    report.stations = ids.size();
    report.events = static_cast<std::size_t>(derived.Integer(0, 0));
    report.sales = static_cast<std::size_t>(derived.Integer(0, 1));
    report.fuelPoints = static_cast<std::size_t>(derived.Integer(0, 2));
    report.prices = static_cast<std::size_t>(derived.Integer(0, 3));
    std::vector<Change> changes;
    if (!derived.IsNull(0, 4)) {
        for (const auto& id : nlohmann::json::parse(derived.Text(0, 4))) {
            changes.push_back(AlarmChange(connection, id.get<std::int64_t>()));
            ++report.alarms;
        }
    }
    AppendChanges(connection, changes);
    transaction.Commit();
    return report;
}

std::vector<std::string> StationsToApply(Connection& connection, int limit) {
    const Result rows = connection.Exec(
        "SELECT id FROM stations WHERE watermark > applied ORDER BY id LIMIT $1", {limit});
    std::vector<std::string> stations;
    for (int row = 0; row < rows.Rows(); ++row)
        stations.emplace_back(rows.Text(row, 0));
    return stations;
}

}  // namespace fuel::hq
