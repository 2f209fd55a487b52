// A command from the back office as it arrives on the broker (a topic and a JSON payload),
// checked before anything is applied, and the reply the station publishes for it.
//
//     stations/{station}/commands/price/{identity}   {"id": "...", "grade": "95", "price": 46.10}
//     stations/{station}/replies                     {"id", "station", "command": "price",
//                                                     "from", "status", "reason", "message",
//                                                     "data", "replayed"}
//
// The id is the command's idempotency key: the station applies one id once (the forecourt
// keeps the keys in its journal, so also across a restart) and answers a repeat with the
// first outcome, replayed. The reply is the back office's only confirmation; PUBACK means
// only that the broker has the command. So the back office sends the same id again until
// it has a reply.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "forecourt/Outcome.h"
#include "forecourt/Roles.h"

namespace fuel::bridge {

// A broker identity has one of the station's roles, as a token's holder has at the API; a
// price command needs the role's permission to set prices.
using forecourt::Role;
using Identities = std::map<std::string, Role, std::less<>>;

struct PriceCommand {
    std::string id;
    std::string identity;  // the broker identity that sent it: the forecourt's client
    std::string grade;
    double price = 0;
};

// What the station answers.
struct Reply {
    std::optional<std::string> id;  // none when the payload had no usable id
    std::string identity;           // empty when the topic named none
    std::string status;             // forecourt::Name(Status), or "forbidden"
    std::string reason;
    std::string message;
    nlohmann::json data;
    bool replayed = false;
};
nlohmann::json ToJson(const Reply& reply, std::string_view station);

// Refusals made here, before the forecourt is asked.
namespace reason {
inline constexpr std::string_view kForbidden = "forbidden";  // the status of the two below
inline constexpr std::string_view kUnknownIdentity = "unknown-identity";
inline constexpr std::string_view kRoleMayNot = "role-may-not-set-prices";
}  // namespace reason

// Commands ids are idempotency keys kept in the journal; a bound keeps a sender from filling
// it with megabyte keys.
inline constexpr std::size_t kMaxCommandId = 200;
// A price command is a few dozen bytes; a larger payload is refused unread.
inline constexpr std::size_t kMaxCommandBytes = 4096;

// The command, or the reply that refuses it (bad topic or payload, identity or role that
// may not). Never throws on what arrives.
std::variant<PriceCommand, Reply> ReadPriceCommand(std::string_view topic, std::string_view payload,
                                                   const Identities& identities);

// The reply to a command the forecourt has answered.
Reply ReplyTo(const PriceCommand& command, const forecourt::Outcome& outcome);

}  // namespace fuel::bridge
