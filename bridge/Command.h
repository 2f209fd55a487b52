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

#include "bridge/Topics.h"
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
    std::string command{kPriceCommand};  // what it answers: "price", "replay"
    std::optional<std::string> id;       // none when the payload had no usable id
    std::string identity;                // empty when the topic named none
    std::string status;                  // forecourt::Name(Status), or "forbidden"
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
// A replay needs the permission to read the events: it sends nothing that a reader of them
// could not already have.
inline constexpr std::string_view kRoleMayNotRead = "role-may-not-read-events";
}  // namespace reason

// Commands ids are idempotency keys kept in the journal; a bound keeps a sender from filling
// it with megabyte keys.
inline constexpr std::size_t kMaxCommandId = 200;
// A price command is a few dozen bytes; a larger payload is refused unread.
inline constexpr std::size_t kMaxCommandBytes = 4096;

// What every command carries, read and checked alike for each kind: a payload of at most
// kMaxCommandBytes that is a JSON object, its "id" (a non-empty string of at most
// kMaxCommandId bytes), and a sender (`identity`, the topic's last level) that the station
// knows with a role that holds the rule's permission.
struct SenderRule {
    std::string_view command;  // the reply's "command"
    forecourt::Permission permission;
    std::string_view mayNot;  // the reason when the sender's role lacks the permission
    std::string_view what;    // "change prices": what the refusal says the role may not do
};
struct CommandHead {
    nlohmann::json json;  // the whole payload, for the kind's own fields
    std::string id;
    std::string identity;
};
std::variant<CommandHead, Reply> ReadCommandHead(const std::optional<std::string>& identity,
                                                 std::string_view topic, std::string_view payload,
                                                 const Identities& identities,
                                                 const SenderRule& rule);

// The command, or the reply that refuses it (bad topic or payload, identity or role that
// may not). Never throws on what arrives.
std::variant<PriceCommand, Reply> ReadPriceCommand(std::string_view topic, std::string_view payload,
                                                   const Identities& identities);

// The reply to a command the forecourt has answered.
Reply ReplyTo(const PriceCommand& command, const forecourt::Outcome& outcome);

}  // namespace fuel::bridge
