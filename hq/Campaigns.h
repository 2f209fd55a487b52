// Price campaigns in the store: a price for a grade at a set of stations (named, or the
// stations of named groups, from each station's retained info), fixed when it is made, with
// each station's outcome. The rules of a campaign's life live here, on the database alone,
// so that any worker (and any worker after a restart) carries on where another stopped:
//
//   - made: refused outright for a price the controllers cannot hold, no targets, a station
//     the head office has never heard of, a grade no target sells; held when the price
//     breaks a bound of the grade (Bounds.h) until an hq-admin other than its author
//     approves it;
//   - sent when due (its time come, not held, not cancelled): to an online station the price
//     command, again after `resendAfter` without a reply (the same id: the station answers a
//     repeat with its first outcome); a station not online is unreachable, and sent to once
//     it is online again;
//   - answered by the station's reply: "ok" applied, anything else failed with the reply's
//     reason and message; a repeated reply changes nothing;
//   - superseded: a later campaign for the grade sent to a station ends an earlier one's
//     unanswered outcome there;
//   - cancelled: every outcome that may still be sent.
//
// Every change of a campaign is a `campaign` change (Changes.h) in the same transaction.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "hq/Bounds.h"
#include "hq/Database.h"
#include "http/Time.h"

namespace fuel::hq {

struct CampaignRequest {
    std::string grade;
    double price = 0;
    std::vector<std::string> stations;
    std::vector<std::string> groups;
    std::optional<http::Time> at;
    std::optional<std::string> note;
};

// Why a campaign is refused: error.code and message.
struct CampaignRefusal {
    std::string code;
    std::string message;
};

namespace refusal {
inline constexpr char kPriceStep[] = "price-step";
inline constexpr char kNoTargets[] = "no-targets";
inline constexpr char kUnknownStation[] = "unknown-station";
inline constexpr char kUnknownGrade[] = "unknown-grade";
// Not a 400: the request is sound, but its Idempotency-Key made another campaign (409).
inline constexpr char kKeyReused[] = "key-reused";
}  // namespace refusal

// What a campaign would be: its targets, the grade's bounds, each target's current price of
// the grade (as last known from its events or its info) and what it breaks.
struct CampaignPlan {
    std::vector<std::string> targets;
    GradeBounds bounds;
    std::map<std::string, std::optional<double>> current;
    std::vector<BrokenBound> held;
};

std::variant<CampaignPlan, CampaignRefusal> PlanCampaign(Connection& connection,
                                                         const ConfiguredBounds& bounds,
                                                         const CampaignRequest& request);

// The check's answer: {"targets", "held", "bounds", "current"}.
nlohmann::json ToJson(const CampaignPlan& plan);

// Makes the campaign and its outcomes in one transaction; returns its id. A repeat of the
// same author's request key returns the campaign that key made, or refuses (key-reused) a
// request other than the one that made it.
std::variant<std::int64_t, CampaignRefusal> CreateCampaign(Connection& connection,
                                                           const ConfiguredBounds& bounds,
                                                           const CampaignRequest& request,
                                                           const std::string& who,
                                                           const std::string& requestKey);

// The campaign as the API shows it, with its outcomes or without; null when there is none.
nlohmann::json CampaignJson(Connection& connection, std::int64_t id, bool outcomes);

// Newest first, those with ids below `before` (when given), at most `limit`.
std::vector<nlohmann::json> CampaignList(Connection& connection, std::optional<std::int64_t> before,
                                         int limit);

enum class Approval { Approved, NoSuchCampaign, NotHeld, OwnCampaign };
Approval ApproveCampaign(Connection& connection, std::int64_t id, const std::string& who);

enum class Cancelling { Cancelled, NoSuchCampaign, Finished };
Cancelling CancelCampaign(Connection& connection, std::int64_t id, const std::string& who);

// A price command to publish: on bridge::StationCommandTopic(station, identity).
struct PriceToSend {
    std::string station;
    std::string id;  // "campaign-N"
    std::string grade;
    double price = 0;
    bool operator==(const PriceToSend&) const = default;
};
std::string PriceCommandText(const PriceToSend& send);

// The outcomes due now, taken by this caller alone: those at online stations recorded as
// sent (to be sent again after `resendAfter` without a reply), those at other stations as
// unreachable. The caller publishes what `sends` holds.
struct DueReport {
    std::vector<PriceToSend> sends;
    bool changed = false;  // a campaign's change was added
};
DueReport DuePrices(Connection& connection, std::chrono::milliseconds resendAfter, int limit = 200);

// A station's reply on stations/{station}/replies, if it answers a campaign's command sent
// under `identity` (the reply's "from"): returns whether an outcome changed. A reply to
// another sender's command is not the campaign's, whatever its id.
bool RecordPriceReply(Connection& connection, const std::string& station,
                      const std::string& identity, const nlohmann::json& reply);

}  // namespace fuel::hq
