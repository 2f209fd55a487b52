#include "hq/Campaigns.h"

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

#include "bridge/Topics.h"
#include "forecourt/PriceRule.h"
#include "hq/Changes.h"
#include "hq/Time.h"

namespace fuel::hq {
namespace {

using nlohmann::json;

constexpr std::string_view kCommandPrefix = "campaign-";

// A campaign of campaign_states (alias v) as the API shows it, without its outcomes.
constexpr std::string_view kCampaignJson = R"sql(jsonb_build_object(
    'id', v.id, 'commandId', 'campaign-' || v.id, 'grade', v.grade, 'price', v.price,
    'stations', to_jsonb(v.stations), 'groups', to_jsonb(v.groups), 'at', hq_time_text(v.at),
    'note', v.note, 'state', v.state, 'createdBy', v.created_by,
    'createdAt', hq_time_text(v.created_at), 'approvedBy', v.approved_by,
    'approvedAt', hq_time_text(v.approved_at), 'cancelledBy', v.cancelled_by,
    'cancelledAt', hq_time_text(v.cancelled_at), 'held', v.held, 'counts', v.counts)::text)sql";

// The open outcomes of a campaign: those that may still be sent.
constexpr std::string_view kOpen = "('pending', 'unreachable')";

std::string Listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "'" : ", '") + name + "'";
    return text;
}

// The changes that tell live clients of these campaigns' new state and counts.
void AppendCampaignChanges(Connection& connection, std::vector<std::int64_t> ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    if (ids.empty())
        return;
    const Result rows = connection.Exec(
        "SELECT jsonb_build_object('id', id, 'state', state, 'counts', counts)::text "
        "FROM campaign_states WHERE id = ANY($1::bigint[]) ORDER BY id",
        {ArrayLiteral(ids)});
    std::vector<Change> changes;
    for (int row = 0; row < rows.Rows(); ++row)
        changes.push_back(
            {std::string(change_kind::kCampaign), std::nullopt, json::parse(rows.Text(row, 0))});
    AppendChanges(connection, changes);
}

std::vector<std::int64_t> Ids(const Result& rows, int column = 0) {
    std::vector<std::int64_t> ids;
    for (int row = 0; row < rows.Rows(); ++row)
        ids.push_back(rows.Integer(row, column));
    return ids;
}

std::string Milliseconds(std::chrono::milliseconds span) {
    return std::to_string(span.count()) + " milliseconds";
}

// "campaign-17" -> 17.
std::optional<std::int64_t> CampaignOfCommand(std::string_view id) {
    if (!id.starts_with(kCommandPrefix))
        return std::nullopt;
    id.remove_prefix(kCommandPrefix.size());
    if (id.empty() || id.size() > 18 || id[0] == '0')
        return std::nullopt;
    std::int64_t value = 0;
    for (const char c : id) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::variant<CampaignPlan, CampaignRefusal> PlanCampaign(Connection& connection,
                                                         const ConfiguredBounds& bounds,
                                                         const CampaignRequest& request) {
    if (const auto problem = forecourt::PriceProblem(request.price))
        return CampaignRefusal{refusal::kPriceStep, "price: " + *problem};
    if (request.stations.empty() && request.groups.empty()) {
        return CampaignRefusal{refusal::kNoTargets,
                               "name at least one station or group to send the price to"};
    }
    // Each named station and each station of a named group, with whether it sells the grade
    // and its current price of it: from its price events, else from its retained info.
    const Result rows = connection.Exec(
        R"sql(
SELECT s.id, s.id = ANY($1::text[]), p.price::float8, g.price, p.grade IS NOT NULL OR g.sold
FROM stations s
LEFT JOIN prices p ON p.station = s.id AND p.grade = $3
CROSS JOIN LATERAL (
    SELECT bool_or(true) AS sold,
           max(CASE WHEN jsonb_typeof(e -> 'price') = 'number' THEN (e ->> 'price')::float8 END)
               AS price
    FROM jsonb_array_elements(CASE WHEN jsonb_typeof(s.info -> 'grades') = 'array'
                                   THEN s.info -> 'grades' ELSE '[]' END) e
    WHERE e ->> 'code' = $3
) g
WHERE s.id = ANY($1::text[]) OR s.groups && $2::text[]
ORDER BY s.id
)sql",
        {ArrayLiteral(request.stations), ArrayLiteral(request.groups), request.grade});
    std::set<std::string> known;
    std::vector<std::string> candidates;
    CampaignPlan plan;
    bool anySells = false;
    for (int row = 0; row < rows.Rows(); ++row) {
        const std::string station(rows.Text(row, 0));
        const bool named = rows.Boolean(row, 1);
        const bool sells = !rows.IsNull(row, 4) && rows.Boolean(row, 4);
        if (named)
            known.insert(station);
        candidates.push_back(station);
        anySells = anySells || sells;
        // A group's station that does not sell the grade is no target of it; a named one is,
        // and its station's answer says why not.
        if (!named && !sells)
            continue;
        plan.targets.push_back(station);
        std::optional<double> current;
        if (!rows.IsNull(row, 2))
            current = rows.Number(row, 2);
        else if (!rows.IsNull(row, 3))
            current = rows.Number(row, 3);
        plan.current[station] = current;
    }
    std::vector<std::string> unknown;
    for (const std::string& station : request.stations) {
        if (!known.contains(station) &&
            std::find(unknown.begin(), unknown.end(), station) == unknown.end())
            unknown.push_back(station);
    }
    if (!unknown.empty()) {
        return CampaignRefusal{refusal::kUnknownStation,
                               "the head office has never heard of " +
                                   std::string(unknown.size() > 1 ? "stations " : "station ") +
                                   Listed(unknown)};
    }
    if (candidates.empty()) {
        return CampaignRefusal{refusal::kNoTargets,
                               "no station is in group " + Listed(request.groups)};
    }
    if (!anySells) {
        return CampaignRefusal{refusal::kUnknownGrade,
                               "no target station sells grade '" + request.grade + "'"};
    }
    plan.bounds = BoundsOf(connection, bounds, request.grade);
    plan.held = BrokenBounds(request.grade, plan.bounds.limits, forecourt::HeldPrice(request.price),
                             plan.current);
    return plan;
}

json ToJson(const CampaignPlan& plan) {
    json held = json::array();
    for (const BrokenBound& broken : plan.held)
        held.push_back(ToJson(broken));
    json current = json::object();
    for (const auto& [station, price] : plan.current)
        current[station] = price ? json(*price) : json(nullptr);
    return {{"targets", plan.targets},
            {"held", std::move(held)},
            {"bounds", ToJson(plan.bounds)},
            {"current", std::move(current)}};
}

std::variant<std::int64_t, CampaignRefusal> CreateCampaign(Connection& connection,
                                                           const ConfiguredBounds& bounds,
                                                           const CampaignRequest& request,
                                                           const std::string& who,
                                                           const std::string& requestKey) {
    Transaction transaction(connection);
    const std::optional<std::string> key =
        requestKey.empty() ? std::nullopt : std::optional<std::string>(requestKey);
    // The campaign the same key made before: the same request answers with it, another one
    // is refused, so that a reused key never passes for a campaign that was not made.
    const auto earlier = [&]() -> std::optional<std::variant<std::int64_t, CampaignRefusal>> {
        if (!key)
            return std::nullopt;
        const Result found = connection.Exec(
            "SELECT id, grade = $3 AND price = $4 AND stations = $5::text[] AND "
            "groups = $6::text[] AND note IS NOT DISTINCT FROM $7 AND at IS NOT DISTINCT FROM " +
                TimeParameter(8) + " FROM campaigns WHERE created_by = $1 AND request_key = $2",
            {who, key, request.grade, forecourt::HeldPrice(request.price),
             ArrayLiteral(request.stations), ArrayLiteral(request.groups), request.note,
             request.at ? Parameter(Since(*request.at)) : Parameter(std::nullopt)});
        if (found.Rows() == 0)
            return std::nullopt;
        if (!found.Boolean(0, 1)) {
            return CampaignRefusal{refusal::kKeyReused,
                                   "the Idempotency-Key made campaign " +
                                       std::to_string(found.Integer(0, 0)) +
                                       ", another request: send a new key for a new campaign"};
        }
        return found.Integer(0, 0);
    };
    if (auto made = earlier())
        return std::move(*made);
    auto planned = PlanCampaign(connection, bounds, request);
    if (auto* refused = std::get_if<CampaignRefusal>(&planned))
        return std::move(*refused);
    const CampaignPlan& plan = std::get<CampaignPlan>(planned);
    json held = json::array();
    for (const BrokenBound& broken : plan.held)
        held.push_back(ToJson(broken));
    std::vector<Parameter> parameters = {
        request.grade,
        forecourt::HeldPrice(request.price),
        ArrayLiteral(request.stations),
        ArrayLiteral(request.groups),
        request.note,
        held.dump(),
        who,
        key,
        request.at ? Parameter(Since(*request.at)) : Parameter(std::nullopt)};
    const Result made = connection.Exec(
        "INSERT INTO campaigns (grade, price, stations, groups, note, held, created_by, "
        "request_key, at) VALUES ($1, $2, $3::text[], $4::text[], $5, $6::jsonb, $7, $8, " +
            TimeParameter(9) + ") ON CONFLICT (created_by, request_key) DO NOTHING RETURNING id",
        parameters);
    if (made.Rows() == 0) {
        // The same key, used at the same moment by another connection, which committed.
        if (auto made = earlier())
            return std::move(*made);
        throw std::runtime_error("a campaign's Idempotency-Key was taken and is gone");
    }
    const std::int64_t id = made.Integer(0, 0);
    connection.Exec(
        "INSERT INTO campaign_outcomes (campaign, station) SELECT $1, unnest($2::text[])",
        {id, ArrayLiteral(plan.targets)});
    AppendCampaignChanges(connection, {id});
    transaction.Commit();
    return id;
}

json CampaignJson(Connection& connection, std::int64_t id, bool outcomes) {
    const Result row = connection.Exec(
        "SELECT " + std::string(kCampaignJson) + " FROM campaign_states v WHERE v.id = $1", {id});
    if (row.Rows() == 0)
        return nullptr;
    json campaign = json::parse(row.Text(0, 0));
    if (outcomes) {
        const Result rows = connection.Exec(
            "SELECT coalesce(jsonb_agg(jsonb_build_object('station', station, 'state', state, "
            "'reason', reason, 'message', message, 'sentAt', hq_time_text(sent_at), "
            "'answeredAt', hq_time_text(answered_at), 'attempts', attempts) ORDER BY station), "
            "'[]')::text FROM campaign_outcomes WHERE campaign = $1",
            {id});
        campaign["outcomes"] = json::parse(rows.Text(0, 0));
    }
    return campaign;
}

std::vector<json> CampaignList(Connection& connection, std::optional<std::int64_t> before,
                               int limit) {
    const Result rows =
        connection.Exec("SELECT " + std::string(kCampaignJson) +
                            " FROM campaign_states v WHERE $1::bigint IS NULL OR v.id < $1 "
                            "ORDER BY v.id DESC LIMIT $2",
                        {before, limit});
    std::vector<json> campaigns;
    for (int row = 0; row < rows.Rows(); ++row)
        campaigns.push_back(json::parse(rows.Text(row, 0)));
    return campaigns;
}

Approval ApproveCampaign(Connection& connection, std::int64_t id, const std::string& who) {
    Transaction transaction(connection);
    const Result row = connection.Exec(
        "SELECT created_by, jsonb_array_length(held) > 0 AND approved_at IS NULL AND "
        "cancelled_at IS NULL FROM campaigns WHERE id = $1 FOR UPDATE",
        {id});
    if (row.Rows() == 0)
        return Approval::NoSuchCampaign;
    if (!row.Boolean(0, 1))
        return Approval::NotHeld;
    if (row.Text(0, 0) == who)
        return Approval::OwnCampaign;
    connection.Exec("UPDATE campaigns SET approved_by = $2, approved_at = now() WHERE id = $1",
                    {id, who});
    AppendCampaignChanges(connection, {id});
    transaction.Commit();
    return Approval::Approved;
}

Cancelling CancelCampaign(Connection& connection, std::int64_t id, const std::string& who) {
    Transaction transaction(connection);
    const Result row = connection.Exec("SELECT id FROM campaigns WHERE id = $1 FOR UPDATE", {id});
    if (row.Rows() == 0)
        return Cancelling::NoSuchCampaign;
    const Result cancelled = connection.Exec(
        "UPDATE campaign_outcomes SET state = 'cancelled', next_send_at = NULL "
        "WHERE campaign = $1 AND state IN " +
            std::string(kOpen) + " RETURNING station",
        {id});
    if (cancelled.Rows() == 0)
        return Cancelling::Finished;
    connection.Exec(
        "UPDATE campaigns SET cancelled_by = $2, cancelled_at = now() "
        "WHERE id = $1 AND cancelled_at IS NULL",
        {id, who});
    AppendCampaignChanges(connection, {id});
    transaction.Commit();
    return Cancelling::Cancelled;
}

std::string PriceCommandText(const PriceToSend& send) {
    return json{{"id", send.id}, {"grade", send.grade}, {"price", send.price}}.dump();
}

DueReport DuePrices(Connection& connection, std::chrono::milliseconds resendAfter, int limit) {
    Transaction transaction(connection);
    // Newest campaign first: of several due for a grade at a station, only the newest goes.
    // An unreachable outcome is due only once its station is online: those of stations still
    // away would otherwise fill every call's limit and hold back what can go.
    const Result due = connection.Exec(
        R"sql(
SELECT o.campaign, o.station, c.grade, c.price::text, coalesce(s.status = 'online', false),
       o.state
FROM campaign_outcomes o
JOIN campaigns c ON c.id = o.campaign
LEFT JOIN stations s ON s.id = o.station
WHERE o.state IN ('pending', 'unreachable')
  AND (o.state = 'pending' OR s.status = 'online')
  AND (o.next_send_at IS NULL OR o.next_send_at <= now())
  AND c.cancelled_at IS NULL
  AND (c.approved_at IS NOT NULL OR jsonb_array_length(c.held) = 0)
  AND (c.at IS NULL OR c.at <= now())
ORDER BY o.campaign DESC, o.station
LIMIT $1
FOR UPDATE OF o SKIP LOCKED
)sql",
        {limit});
    if (due.Rows() == 0)
        return {};
    std::set<std::pair<std::string, std::string>> taken;  // (grade, station)
    std::vector<PriceToSend> sends;
    std::vector<std::int64_t> sentCampaigns, offCampaigns;
    std::vector<std::string> sentStations, sentGrades, offStations;
    for (int row = 0; row < due.Rows(); ++row) {
        const std::int64_t campaign = due.Integer(row, 0);
        const std::string station(due.Text(row, 1));
        const std::string grade(due.Text(row, 2));
        if (!taken.insert({grade, station}).second)
            continue;  // a newer campaign's goes instead, and supersedes this one below
        if (due.Boolean(row, 4)) {
            sends.push_back({station, std::string(kCommandPrefix) + std::to_string(campaign), grade,
                             std::stod(std::string(due.Text(row, 3)))});
            sentCampaigns.push_back(campaign);
            sentStations.push_back(station);
            sentGrades.push_back(grade);
        } else if (due.Text(row, 5) == "pending") {
            offCampaigns.push_back(campaign);
            offStations.push_back(station);
        }
    }
    std::vector<std::int64_t> touched = sentCampaigns;
    if (!sends.empty()) {
        connection.Exec(
            "UPDATE campaign_outcomes o SET state = 'pending', sent_at = now(), "
            "next_send_at = now() + $3::interval, attempts = attempts + 1 "
            "FROM unnest($1::bigint[], $2::text[]) AS t(campaign, station) "
            "WHERE o.campaign = t.campaign AND o.station = t.station",
            {ArrayLiteral(sentCampaigns), ArrayLiteral(sentStations), Milliseconds(resendAfter)});
        const Result superseded = connection.Exec(
            "UPDATE campaign_outcomes o SET state = 'superseded', next_send_at = NULL "
            "FROM unnest($1::bigint[], $2::text[], $3::text[]) AS t(campaign, station, grade), "
            "campaigns e WHERE o.station = t.station AND o.campaign < t.campaign "
            "AND e.id = o.campaign AND e.grade = t.grade AND o.state IN " +
                std::string(kOpen) + " RETURNING o.campaign",
            {ArrayLiteral(sentCampaigns), ArrayLiteral(sentStations), ArrayLiteral(sentGrades)});
        const auto ids = Ids(superseded);
        touched.insert(touched.end(), ids.begin(), ids.end());
    }
    if (!offCampaigns.empty()) {
        const Result unreachable = connection.Exec(
            "UPDATE campaign_outcomes o SET state = 'unreachable', next_send_at = NULL "
            "FROM unnest($1::bigint[], $2::text[]) AS t(campaign, station) "
            "WHERE o.campaign = t.campaign AND o.station = t.station RETURNING o.campaign",
            {ArrayLiteral(offCampaigns), ArrayLiteral(offStations)});
        const auto ids = Ids(unreachable);
        touched.insert(touched.end(), ids.begin(), ids.end());
    }
    AppendCampaignChanges(connection, touched);
    transaction.Commit();
    return {std::move(sends), !touched.empty()};
}

bool RecordPriceReply(Connection& connection, const std::string& station,
                      const std::string& identity, const json& reply) {
    if (!reply.is_object() || reply.value("command", json()) != bridge::kPriceCommand ||
        reply.value("from", json()) != identity)
        return false;
    const auto id = reply.find("id");
    const auto status = reply.find("status");
    if (id == reply.end() || !id->is_string() || status == reply.end() || !status->is_string())
        return false;
    const auto campaign = CampaignOfCommand(id->get_ref<const std::string&>());
    if (!campaign)
        return false;
    const auto text = [&](const char* name) -> std::optional<std::string> {
        const auto found = reply.find(name);
        if (found == reply.end() || !found->is_string())
            return std::nullopt;
        return found->get<std::string>();
    };
    Transaction transaction(connection);
    Result changed;
    if (status->get_ref<const std::string&>() == "ok") {
        // Applied is what the station did, even where the outcome was given up on after it
        // was sent (cancelled, or superseded by a later campaign's).
        changed = connection.Exec(
            "UPDATE campaign_outcomes SET state = 'applied', reason = NULL, message = NULL, "
            "answered_at = now(), next_send_at = NULL WHERE campaign = $1 AND station = $2 "
            "AND (state IN ('pending', 'unreachable') OR "
            "(state IN ('cancelled', 'superseded') AND sent_at IS NOT NULL)) "
            "RETURNING campaign",
            {*campaign, station});
    } else {
        changed = connection.Exec(
            "UPDATE campaign_outcomes SET state = 'failed', reason = $3, message = $4, "
            "answered_at = now(), next_send_at = NULL WHERE campaign = $1 AND station = $2 "
            "AND state IN ('pending', 'unreachable') RETURNING campaign",
            {*campaign, station, text("reason").value_or(status->get<std::string>()),
             text("message")});
    }
    if (changed.Rows() == 0)
        return false;
    AppendCampaignChanges(connection, {*campaign});
    transaction.Commit();
    return true;
}

}  // namespace fuel::hq
