// The station's topic tree on the broker, written once here: the publisher, the command
// subscriber, the tests and the benchmark all take their topics from these functions.
//
//     stations/{station}/events/{type}               every journal event, QoS 1
//     stations/{station}/status                      "online" / "offline", retained (last will)
//     stations/{station}/commands/price/{identity}   a price change for this station
//     groups/{group}/commands/price/{identity}       a price change for every station of a group
//     stations/{station}/replies                     the outcome of each command
//     stations/{station}/info                        who the station is, retained
//     stations/{station}/commands/replay/{identity}  send a range of the journal again
//
// The info, republished (retained, QoS 1) at every connection and whenever any of it changes:
//     {"station", "groups": ["north", ...], "version": "1.4.0",
//      "grades": [{"code", "name", "price"}, ...],
//      "fuelPoints": [{"id", "nozzles": [{"number", "grade"}, ...]}, ...]}
// The replay command, {"id", "from", "to"} (sequences, both included): the station sends
// the events from..to of its journal again on their event topics, through the same path and
// order as every event, and replies on stations/{station}/replies as to a price command, with
// "command": "replay" and "data": {"from", "to", "oldest", "last"} (what was sent, the oldest
// sequence the journal still keeps, and its last). Events older than "oldest" are gone: the
// reply's status is then "failed" with reason "not-kept" when none of the range is kept, and
// "applied" for the part that is, its "data" saying what was sent. A range past the journal's
// end is cut at "last" ("to" below "from" when nothing was after it): so a head office that
// has lost a station's last events, and cannot know that it has, finds them by asking for
// what follows the events it holds.
//
// A replay asks for at most replay::kMaxEvents events; a longer gap is asked for in parts.
// Any identity the station knows may ask (a replay sends nothing a reader of the events
// could not already have); a refusal or a malformed command is answered as a price
// command's is ("forbidden", "invalid"), and a station
// with replays waiting already answers "refused" with reason "busy".
//
// The head office reads the tree through an MQTT 5 shared subscription to the events
// ($share/{share}/stations/+/events/#), so that its workers split the stations between
// them, and a plain one to each station's status, info and replies (every worker sees them).
//
// A command's last level is its sender's broker identity. MQTT carries no sender in a
// PUBLISH, so the station cannot learn from the message who sent it; the broker can, and its
// access control ties that level to the user who logged in (mosquitto: "pattern write
// stations/+/commands/price/%u"). A station therefore trusts the identity only as far as
// the broker's access control does.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace fuel::bridge {

std::string EventTopic(std::string_view station, std::string_view type);
std::string StatusTopic(std::string_view station);
std::string ReplyTopic(std::string_view station);
std::string InfoTopic(std::string_view station);
// The subscriptions that bring a station its commands (wildcard in the identity level).
std::string StationCommandFilter(std::string_view station);
std::string GroupCommandFilter(std::string_view group);
// What a publisher sends to one station or group, as `identity`.
std::string StationCommandTopic(std::string_view station, std::string_view identity);
std::string GroupCommandTopic(std::string_view group, std::string_view identity);
// The replay command: its subscription at the station and its topic for a sender.
std::string ReplayCommandFilter(std::string_view station);
std::string ReplayCommandTopic(std::string_view station, std::string_view identity);

// What the head office subscribes to: every station's events, shared among the workers of
// `share`; and every station's status, info and replies, which each worker takes whole.
std::string SharedEventFilter(std::string_view share);
inline constexpr std::string_view kAllStatusFilter = "stations/+/status";
inline constexpr std::string_view kAllInfoFilter = "stations/+/info";
inline constexpr std::string_view kAllRepliesFilter = "stations/+/replies";

// A station's topic, taken apart: the station and what follows it ("events/sale",
// "status", "info", "replies", "commands/replay/hq-1"). nullopt when the topic is not under
// stations/{station}/.
struct StationTopic {
    std::string station;
    std::string rest;
};
std::optional<StationTopic> ParseStationTopic(std::string_view topic);

inline constexpr std::string_view kOnline = "online";
inline constexpr std::string_view kOffline = "offline";

// The words of a command's reply ("command", and a replay's "status" and "reason"), which
// the head office reads as the station writes them.
inline constexpr std::string_view kPriceCommand = "price";
namespace replay {
inline constexpr std::string_view kCommand = "replay";
inline constexpr std::string_view kApplied = "applied";
inline constexpr std::string_view kFailed = "failed";
inline constexpr std::string_view kNotKept = "not-kept";
inline constexpr std::size_t kMaxEvents = 10000;
}  // namespace replay

// A replay command's topic, whatever its last level (a command whose sender is missing
// is still answered as a replay).
bool IsReplayCommandTopic(std::string_view topic);

// The sender's identity of a price command topic; nullopt when the topic is not one.
std::optional<std::string> CommandIdentity(std::string_view topic);
// The same of a replay command topic.
std::optional<std::string> ReplayIdentity(std::string_view topic);

// A station id, a group or an identity is one level of a topic: not empty, and none of
// '/', '+', '#' (or a space, which brokers allow but every shell and ACL file trips on).
bool IsTopicLevel(std::string_view name);

}  // namespace fuel::bridge
