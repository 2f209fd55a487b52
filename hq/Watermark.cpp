#include "hq/Watermark.h"

#include <algorithm>
#include <optional>

#include "hq/Changes.h"
#include "hq/Health.h"

namespace fuel::hq {
namespace {

std::string Milliseconds(std::chrono::milliseconds span) {
    return std::to_string(span.count()) + " milliseconds";
}

}  // namespace

std::vector<std::string> AdvanceWatermarks(
    Connection& connection, const std::map<std::string, Stood>& stood,
    const std::map<std::string, std::vector<std::int64_t>>& stored,
    const std::map<std::string, std::int64_t>& received) {
    struct Row {
        std::int64_t high = 0;                // the highest received, 0: none
        std::optional<std::string> reached;   // the new watermark; none: it stays
        bool moved = false, gapLeft = false;
    };
    std::map<std::string, Row> rows;
    for (const auto& [station, high] : received)
        rows[station].high = high;
    for (const auto& [station, sequences] : stored) {
        const auto found = stood.find(station);
        if (found == stood.end() || sequences.empty())
            continue;
        const std::int64_t from = found->second.watermark;
        std::vector<std::int64_t> held;
        if (found->second.gapOpen) {
            // Events held from before wait above the watermark: all of them, the new ones too.
            const Result above = connection.Exec(
                "SELECT sequence FROM events WHERE station = $1 AND sequence > $2 "
                "ORDER BY sequence",
                {station, from});
            for (int row = 0; row < above.Rows(); ++row)
                held.push_back(above.Integer(row, 0));
        } else {
            held = sequences;  // nothing was held above the watermark but these
            std::sort(held.begin(), held.end());
        }
        std::int64_t run = from;
        for (const std::int64_t sequence : held) {
            if (sequence == run + 1)
                ++run;
            else if (sequence > run)
                break;
        }
        Row& row = rows[station];
        row.reached = std::to_string(run);
        row.moved = run > from;
        row.gapLeft = !held.empty() && held.back() > run;
    }
    std::vector<std::string> ready;
    if (rows.empty())
        return ready;
    std::vector<std::string> ids, moved, gapLeft;  // "t"/"f" each
    std::vector<std::int64_t> highs;
    std::vector<std::optional<std::string>> reached;
    for (const auto& [station, row] : rows) {
        ids.push_back(station);
        highs.push_back(row.high);
        reached.push_back(row.reached);
        moved.push_back(row.moved ? "t" : "f");
        gapLeft.push_back(row.gapLeft ? "t" : "f");
    }
    // The gap clock starts again whenever the watermark moves, so that events that merely
    // arrive out of order (two workers share a station's events) are not asked for; it stops
    // when nothing is missing. A station whose events were all repeats keeps its clock.
    const Result updated = connection.Exec(
        "UPDATE stations s SET "
        "published = greatest(s.published, t.high), "
        "last_event_at = CASE WHEN t.high > 0 THEN now() ELSE s.last_event_at END, "
        "watermark = coalesce(t.reached, s.watermark), "
        "gap_since = CASE WHEN t.reached IS NULL THEN s.gap_since WHEN NOT t.gap THEN NULL "
        "                 WHEN t.moved THEN now() ELSE coalesce(s.gap_since, now()) END, "
        "replay_asked_at = CASE WHEN t.reached IS NULL OR (t.gap AND NOT t.moved) "
        "                       THEN s.replay_asked_at END "
        "FROM unnest($1::text[], $2::bigint[], $3::bigint[], $4::boolean[], $5::boolean[]) "
        "AS t(id, high, reached, moved, gap) "
        "WHERE s.id = t.id RETURNING s.id, s.watermark > s.applied",
        {ArrayLiteral(ids), ArrayLiteral(highs), ArrayLiteral(reached), ArrayLiteral(moved),
         ArrayLiteral(gapLeft)});
    for (int row = 0; row < updated.Rows(); ++row) {
        if (updated.Boolean(row, 1))
            ready.emplace_back(updated.Text(row, 0));
    }
    std::sort(ready.begin(), ready.end());
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

std::vector<Gap> DueProbes(Connection& connection, std::chrono::milliseconds quietFor,
                           int stations) {
    const Result rows = connection.Exec(R"sql(
WITH due AS (
    SELECT id FROM stations
    WHERE status = 'online' AND gap_since IS NULL
      AND last_event_at IS NOT NULL AND last_event_at <= now() - $1::interval
      AND (replay_asked_at IS NULL OR replay_asked_at <= now() - $1::interval)
    ORDER BY replay_asked_at NULLS FIRST
    LIMIT $2
    FOR UPDATE SKIP LOCKED
)
UPDATE stations s SET replay_asked_at = now() FROM due WHERE s.id = due.id
RETURNING s.id, s.watermark
)sql",
                                        {Milliseconds(quietFor), stations});
    std::vector<Gap> probes;
    for (int row = 0; row < rows.Rows(); ++row) {
        const std::int64_t next = rows.Integer(row, 1) + 1;
        probes.push_back({std::string(rows.Text(row, 0)), next, next});
    }
    return probes;
}

std::int64_t GiveUpBefore(Connection& connection, const std::string& station, std::int64_t oldest) {
    Transaction transaction(connection);
    const Result row = connection.Exec(
        "SELECT watermark, published FROM stations WHERE id = $1 FOR UPDATE", {station});
    if (row.Rows() == 0 || row.Integer(0, 0) >= oldest - 1)
        return 0;
    const std::int64_t from = row.Integer(0, 0) + 1;
    const std::int64_t published = row.Integer(0, 1);
    // Only what is missing is given up: events held below `oldest` still count.
    const Result missing = connection.Exec(
        "SELECT ($3::bigint - $2::bigint) - count(*) FROM events WHERE station = $1 AND "
        "sequence >= $2 AND "
        "sequence < $3",
        {station, from, oldest});
    const std::int64_t lost = missing.Integer(0, 0);
    connection.Exec("UPDATE stations SET watermark = $2::bigint - 1 WHERE id = $1",
                    {station, oldest});
    // On from there over what is held beyond, as if `oldest` had just come (it may not be
    // held itself: then the watermark stands before it).
    const std::map<std::string, Stood> stood = {{station, {oldest - 1, published > oldest - 1}}};
    const std::map<std::string, std::vector<std::int64_t>> given = {{station, {oldest - 1}}};
    AdvanceWatermarks(connection, stood, given);
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
