// Each station's health as the head office sees it, and the alarms people must look at.
// A station that says nothing for too long without saying it went offline, or that stays
// offline too long, gets an alarm of the head office's own, cleared when the cause ends; a
// station's own alarm events become alarms too (Apply.h). Any alarm is acknowledged by a
// user. Every alarm raised, cleared or acknowledged is a change for the live stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "hq/Changes.h"
#include "hq/Database.h"

namespace fuel::hq {

// The head office's own kinds of alarm (a station's own kinds are its events' words).
namespace alarm_kind {
// Online, and nothing received from it for longer than HealthPolicy::silentAfter.
inline constexpr std::string_view kStationSilent = "station-silent";
// Offline for longer than HealthPolicy::offlineAfter.
inline constexpr std::string_view kStationOffline = "station-offline";
// Events the station no longer keeps were never received: {"from", "to", "lost"}. Not
// cleared by itself: a person decides what the missing events mean.
inline constexpr std::string_view kEventsLost = "events-lost";
}  // namespace alarm_kind

struct HealthPolicy {
    std::chrono::seconds silentAfter{15 * 60};
    std::chrono::seconds offlineAfter{5 * 60};
};

struct HealthReport {
    int raised = 0;
    int cleared = 0;
};

// Raises and clears the head office's station alarms from the stations' rows, in one
// transaction. Any number of workers may run it at once: an alarm is raised once.
HealthReport CheckHealth(Connection& connection, const HealthPolicy& policy);

enum class Acknowledged { Now, Already, NoSuchAlarm };
// Marks the alarm seen by `user`; an alarm already acknowledged keeps its first user.
Acknowledged Acknowledge(Connection& connection, std::int64_t alarm, const std::string& user);

// One alarm as JSON: {"id", "station", "kind", "fuelPoint", "message", "data", "sequence",
// "raisedAt", "clearedAt", "acknowledgedAt", "acknowledgedBy"} (absent times are null).
// The SQL select list that makes it, for the API's lists: "SELECT <kAlarmJson> FROM alarms a".
inline constexpr std::string_view kAlarmJson =
    "json_build_object('id', a.id, 'station', a.station, 'kind', a.kind, 'fuelPoint', "
    "a.fuel_point, 'message', a.message, 'data', a.data, 'sequence', a.sequence, 'raisedAt', "
    "hq_time_text(a.raised_at), 'clearedAt', hq_time_text(a.cleared_at), 'acknowledgedAt', "
    "hq_time_text(a.acknowledged_at), 'acknowledgedBy', a.acknowledged_by)";
// The change that tells the live stream of this alarm as it stands (inside the transaction
// that changed it).
Change AlarmChange(Connection& connection, std::int64_t alarm);

}  // namespace fuel::hq
