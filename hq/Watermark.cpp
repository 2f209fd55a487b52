#include "hq/Watermark.h"

#include "hq/Changes.h"
#include "hq/Health.h"

namespace fuel::hq {
namespace {

std::string Milliseconds(std::chrono::milliseconds span) {
    return std::to_string(span.count()) + " milliseconds";
}

// The run of sequences right after each watermark: the held events above it, numbered in
// order; the run holds while sequence = watermark + number. The gap clock starts again
// whenever the watermark moves, so events that merely arrive out of order (two workers
// share a station's events) are not asked for; it stops when nothing is missing.
constexpr std::string_view kAdvance = R"sql(
UPDATE stations s
SET watermark = a.reached,
    gap_since = CASE WHEN a.reached >= s.published THEN NULL
                     WHEN a.reached > s.watermark THEN now()
                     ELSE coalesce(s.gap_since, now()) END,
    replay_asked_at = CASE WHEN a.reached > s.watermark OR a.reached >= s.published THEN NULL
                           ELSE s.replay_asked_at END
FROM (
    SELECT t.id,
           coalesce((SELECT max(run.sequence)
                     FROM (SELECT e.sequence, row_number() OVER (ORDER BY e.sequence) AS n
                           FROM events e
                           WHERE e.station = t.id AND e.sequence > t.watermark) run
                     WHERE run.sequence = t.watermark + run.n), t.watermark) AS reached
    FROM stations t
    WHERE t.id = ANY($1::text[])
) a
WHERE s.id = a.id
RETURNING s.id, s.watermark > s.applied
)sql";

}  // namespace

std::vector<std::string> AdvanceWatermarks(Connection& connection,
                                           std::span<const std::string> stations) {
    std::vector<std::string> ready;
    if (stations.empty())
        return ready;
    const Result rows = connection.Exec(kAdvance, {ArrayLiteral(stations)});
    for (int row = 0; row < rows.Rows(); ++row) {
        if (rows.Boolean(row, 1))
            ready.emplace_back(rows.Text(row, 0));
    }
    return ready;
}

std::vector<Gap> DueGaps(Connection& connection, const GapPolicy& policy) {
    // SKIP LOCKED: a station another worker is storing or asking for now is passed over.
    const Result rows =
        connection.Exec(R"sql(
WITH due AS (
    SELECT id FROM stations
    WHERE gap_since IS NOT NULL AND gap_since <= now() - $1::interval
      AND (replay_asked_at IS NULL OR replay_asked_at <= now() - $2::interval)
    ORDER BY gap_since
    LIMIT $3
    FOR UPDATE SKIP LOCKED
), asked AS (
    UPDATE stations s SET replay_asked_at = now() FROM due WHERE s.id = due.id
    RETURNING s.id, s.watermark
)
SELECT a.id, g.first, g.last
FROM asked a
CROSS JOIN LATERAL (
    SELECT held.before + 1 AS first, held.sequence - 1 AS last
    FROM (SELECT e.sequence, lag(e.sequence, 1, a.watermark) OVER (ORDER BY e.sequence) AS before
          FROM events e WHERE e.station = a.id AND e.sequence > a.watermark) held
    WHERE held.sequence > held.before + 1
    ORDER BY held.sequence
    LIMIT $4
) g
ORDER BY a.id, g.first
)sql",
                        {Milliseconds(policy.openFor), Milliseconds(policy.askAgainAfter),
                         policy.stations, policy.rangesPerStation});
    std::vector<Gap> gaps;
    for (int row = 0; row < rows.Rows(); ++row)
        gaps.push_back(
            {std::string(rows.Text(row, 0)), rows.Integer(row, 1), rows.Integer(row, 2)});
    return gaps;
}

std::int64_t GiveUpBefore(Connection& connection, const std::string& station, std::int64_t oldest) {
    Transaction transaction(connection);
    const Result stood =
        connection.Exec("SELECT watermark FROM stations WHERE id = $1 FOR UPDATE", {station});
    if (stood.Rows() == 0 || stood.Integer(0, 0) >= oldest - 1)
        return 0;
    const std::int64_t from = stood.Integer(0, 0) + 1;
    // Only what is missing is given up: events held below `oldest` still count.
    const Result missing = connection.Exec(
        "SELECT ($3::bigint - $2::bigint) - count(*) FROM events WHERE station = $1 AND "
        "sequence >= $2 AND "
        "sequence < $3",
        {station, from, oldest});
    const std::int64_t lost = missing.Integer(0, 0);
    connection.Exec("UPDATE stations SET watermark = $2::bigint - 1 WHERE id = $1",
                    {station, oldest});
    const std::string ids[] = {station};
    AdvanceWatermarks(connection, ids);
    std::vector<Change> changes;
    if (lost > 0) {
        const Result alarm = connection.Exec(
            "INSERT INTO alarms (station, kind, message, data, raised_at) "
            "VALUES ($1, $2, $3, $4::jsonb, now()) "
            "ON CONFLICT (station, kind) WHERE sequence IS NULL AND cleared_at IS NULL "
            "DO NOTHING RETURNING id",
            {station, alarm_kind::kEventsLost,
             "station " + station + " no longer keeps " + std::to_string(lost) +
                 " of its events from " + std::to_string(from) + " to " +
                 std::to_string(oldest - 1) + ": the head office will never hold them",
             nlohmann::json{{"from", from}, {"to", oldest - 1}, {"lost", lost}}.dump()});
        if (alarm.Rows() == 1)
            changes.push_back(AlarmChange(connection, alarm.Integer(0, 0)));
    }
    AppendChanges(connection, changes);
    transaction.Commit();
    return lost;
}

}  // namespace fuel::hq
