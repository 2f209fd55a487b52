// The station's topic tree on the broker, written once here: the publisher, the command
// subscriber, the tests and the benchmark all take their topics from these functions.
//
//     stations/{station}/events/{type}               every journal event, QoS 1
//     stations/{station}/status                      "online" / "offline", retained (last will)
//     stations/{station}/commands/price/{identity}   a price change for this station
//     groups/{group}/commands/price/{identity}       a price change for every station of a group
//     stations/{station}/replies                     the outcome of each command
//
// A command's last level is its sender's broker identity. MQTT carries no sender in a
// PUBLISH, so the station cannot learn from the message who sent it; the broker can, and its
// access control ties that level to the user who logged in (mosquitto: "pattern write
// stations/+/commands/price/%u"). A station therefore trusts the identity only as far as
// the broker's access control does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fuel::bridge {

std::string EventTopic(std::string_view station, std::string_view type);
std::string StatusTopic(std::string_view station);
std::string ReplyTopic(std::string_view station);
// The subscriptions that bring a station its commands (wildcard in the identity level).
std::string StationCommandFilter(std::string_view station);
std::string GroupCommandFilter(std::string_view group);
// What a publisher sends to one station or group, as `identity`.
std::string StationCommandTopic(std::string_view station, std::string_view identity);
std::string GroupCommandTopic(std::string_view group, std::string_view identity);

inline constexpr std::string_view kOnline = "online";
inline constexpr std::string_view kOffline = "offline";

// The sender's identity of a price command topic; nullopt when the topic is not one.
std::optional<std::string> CommandIdentity(std::string_view topic);

// A station id, a group or an identity is one level of a topic: not empty, and none of
// '/', '+', '#' (or a space, which brokers allow but every shell and ACL file trips on).
bool IsTopicLevel(std::string_view name);

}  // namespace fuel::bridge
