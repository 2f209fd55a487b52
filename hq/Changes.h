// The chain's changes that live clients follow: a station's status, an alarm raised,
// cleared or acknowledged, a price campaign's progress. Each is a row of `changes` numbered in
// commit order, so that a client that resumes after number N (an event stream's Last-Event-ID)
// misses none and sees none twice; a notification on the channel kChangesChannel tells listeners
// there is more.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "hq/Database.h"

namespace fuel::hq {

inline constexpr std::string_view kChangesChannel = "hq_changes";

namespace change_kind {
inline constexpr std::string_view kStation = "station";  // {"station", "status", "since"}
inline constexpr std::string_view kAlarm = "alarm";      // the alarm's row, as AlarmJson
// A price campaign's state or an outcome changed: {"id", "state", "counts"}.
inline constexpr std::string_view kCampaign = "campaign";
}  // namespace change_kind

struct Change {
    std::string kind;
    std::optional<std::string> station;
    nlohmann::json data;
};

struct StoredChange {
    std::int64_t id = 0;
    std::string at;  // RFC 3339
    std::string kind;
    std::optional<std::string> station;
    nlohmann::json data;
};

// Writes the changes inside the caller's transaction. Call it last in the transaction: it
// takes the lock that keeps the numbers in commit order, and holds it until the commit.
void AppendChanges(Connection& connection, const std::vector<Change>& changes);

// The changes after `after`, oldest first, at most `limit`.
std::vector<StoredChange> ChangesAfter(Connection& connection, std::int64_t after, int limit);

// The last change's number; 0 when there is none.
std::int64_t LastChange(Connection& connection);

// A change as the live stream sends it: {"id", "kind", "at", "station", "data"} on one line.
std::string ChangeText(const StoredChange& change);

}  // namespace fuel::hq
