#include "hq/Health.h"

#include <vector>

namespace fuel::hq {
namespace {

std::string Seconds(std::chrono::seconds span) {
    return std::to_string(span.count()) + " seconds";
}

// Stations in each condition. A station's silence is counted from its last event, or from
// when it came online when it has sent none since.
constexpr std::string_view kSilent =
    "status = 'online' AND greatest(last_event_at, status_since) < now() - $1::interval";
constexpr std::string_view kOffline = "status = 'offline' AND status_since < now() - $2::interval";

std::vector<Change> ChangesOf(Connection& connection, const Result& alarms) {
    std::vector<Change> changes;
    for (int row = 0; row < alarms.Rows(); ++row)
        changes.push_back(AlarmChange(connection, alarms.Integer(row, 0)));
    return changes;
}

}  // namespace

Change AlarmChange(Connection& connection, std::int64_t alarm) {
    const Result row = connection.Exec(
        "SELECT " + std::string(kAlarmJson) + ", a.station FROM alarms a WHERE a.id = $1", {alarm});
    if (row.Rows() == 0)
        throw std::logic_error("no alarm " + std::to_string(alarm));
    return {std::string(change_kind::kAlarm), std::string(row.Text(0, 1)),
            nlohmann::json::parse(row.Text(0, 0))};
}

HealthReport CheckHealth(Connection& connection, const HealthPolicy& policy) {
    const Parameter limits[] = {Seconds(policy.silentAfter), Seconds(policy.offlineAfter),
                                alarm_kind::kStationSilent, alarm_kind::kStationOffline};
    HealthReport report;
    Transaction transaction(connection);
    // Cleared first: a station gone from silent to offline changes its alarm, not adds one.
    const Result cleared = connection.Exec(
        "UPDATE alarms a SET cleared_at = now() FROM stations s "
        "WHERE a.station = s.id AND a.sequence IS NULL AND a.cleared_at IS NULL AND "
        "((a.kind = $3 AND NOT coalesce(" +
            std::string(kSilent) +
            ", false)) OR "
            " (a.kind = $4 AND NOT coalesce(" +
            std::string(kOffline) +
            ", false))) "
            "RETURNING a.id",
        limits);
    const Result raised = connection.Exec(
        "INSERT INTO alarms (station, kind, message, data, raised_at) "
        "SELECT id, $3, format('station %s has sent nothing since %s', id, "
        "hq_time_text(greatest(last_event_at, status_since))), "
        "json_build_object('since', hq_time_text(greatest(last_event_at, status_since))), now() "
        "FROM stations WHERE " +
            std::string(kSilent) +
            " UNION ALL "
            "SELECT id, $4, format('station %s is offline since %s', id, "
            "hq_time_text(status_since)), "
            "json_build_object('since', hq_time_text(status_since)), now() "
            "FROM stations WHERE " +
            std::string(kOffline) +
            " ORDER BY 1 "
            "ON CONFLICT (station, kind) WHERE sequence IS NULL AND cleared_at IS NULL DO NOTHING "
            "RETURNING id",
        limits);
    report.cleared = cleared.Rows();
    report.raised = raised.Rows();
    std::vector<Change> changes = ChangesOf(connection, cleared);
    for (Change& change : ChangesOf(connection, raised))
        changes.push_back(std::move(change));
    AppendChanges(connection, changes);
    transaction.Commit();
    return report;
}

Acknowledged Acknowledge(Connection& connection, std::int64_t alarm, const std::string& user) {
    Transaction transaction(connection);
    const Result done = connection.Exec(
        "UPDATE alarms SET acknowledged_at = now(), acknowledged_by = $2 "
        "WHERE id = $1 AND acknowledged_at IS NULL RETURNING id",
        {alarm, user});
    if (done.Rows() == 0) {
        const bool exists =
            connection.Exec("SELECT 1 FROM alarms WHERE id = $1", {alarm}).Rows() == 1;
        return exists ? Acknowledged::Already : Acknowledged::NoSuchAlarm;
    }
    AppendChanges(connection, {AlarmChange(connection, alarm)});
    transaction.Commit();
    return Acknowledged::Now;
}

}  // namespace fuel::hq
